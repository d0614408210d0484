#include "TempFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString ErrorText(int Error) {
    return QString::fromLocal8Bit(std::strerror(Error));
}

// The folder at Path is usable when it is a real folder of this user that
// only this user can enter; a mode that lets others in is taken back.
bool OwnPrivateFolder(const QByteArray& Path) {
    struct stat Info = {};
    if (::lstat(Path.constData(), &Info) != 0)
        return false;
    if (!S_ISDIR(Info.st_mode) || Info.st_uid != ::getuid())
        return false;
    if ((Info.st_mode & 077) != 0 && ::chmod(Path.constData(), 0700) != 0)
        return false;
    return true;
}

quint32 TickCount() {
    using namespace std::chrono;
    return quint32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

ETempFileError::ETempFileError(const QString& Message)
    : std::runtime_error(Message.toStdString()) {}

QString PrivateTempDir() {
    static QString Made;
    if (!Made.isEmpty() && OwnPrivateFolder(QFile::encodeName(Made)))
        return Made;
    const QString Base = QDir::tempPath();
    const QString Name = Base + QStringLiteral("/vqviewer-") + QString::number(::getuid());
    const QByteArray Path = QFile::encodeName(Name);
    if (::mkdir(Path.constData(), 0700) == 0 || errno == EEXIST) {
        if (OwnPrivateFolder(Path)) {
            Made = Name;
            return Made;
        }
    }
    // Someone else holds the name: a folder of our own under a random name.
    QByteArray Template = QFile::encodeName(Name + QStringLiteral("-XXXXXX"));
    if (::mkdtemp(Template.data()) == nullptr)
        throw ETempFileError(QStringLiteral("Cannot create a temporary folder in %1: %2")
                                 .arg(Base, ErrorText(errno)));
    Made = QFile::decodeName(Template);
    return Made;
}

QString ReserveTempFileBase() {
    const QString Folder = PrivateTempDir();
    quint32 Tick = TickCount();
    // Two windows opened within one millisecond, or another viewer of the
    // same user, take the next number.
    for (int Attempt = 0; Attempt < 1000; ++Attempt, ++Tick) {
        const QString Base = QStringLiteral("vqa%1.~tf").arg(Tick);
        const QByteArray Path = QFile::encodeName(Folder + QLatin1Char('/') + Base);
        const int Handle =
            ::open(Path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (Handle >= 0) {
            ::close(Handle);
            return Base;
        }
        if (errno != EEXIST)
            throw ETempFileError(QStringLiteral("Cannot create file \"%1\". %2")
                                     .arg(QFile::decodeName(Path), ErrorText(errno)));
    }
    throw ETempFileError(QStringLiteral("Cannot create a temporary file in %1").arg(Folder));
}

TTempFileStream::TTempFileStream(const QString& FileName) : FFileName(FileName) {
    const QByteArray Path = QFile::encodeName(FileName);
    // Created anew: whatever stands there (an earlier download, or a link
    // nobody should have been able to place) goes first.
    if (::unlink(Path.constData()) != 0 && errno != ENOENT)
        throw ETempFileError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(FileName, ErrorText(errno)));
    FHandle = ::open(Path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FHandle < 0)
        throw ETempFileError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(FileName, ErrorText(errno)));
}

TTempFileStream::~TTempFileStream() {
    if (FHandle >= 0)
        ::close(FHandle);
}

void TTempFileStream::Write(const char* Data, qint64 Length) {
    while (Length > 0) {
        const ssize_t Written = ::write(FHandle, Data, size_t(Length));
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            throw ETempFileError(
                QStringLiteral("Cannot write file \"%1\". %2").arg(FFileName, ErrorText(errno)));
        }
        Data += Written;
        Length -= Written;
        FSize += Written;
    }
}
