#include "ViewerFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace viewer_files {

namespace {

void SetError(QString* Error, const QString& Text) {
    if (Error != nullptr)
        *Error = Text;
}

QString SystemError(const QString& What, const QString& Name) {
    return QStringLiteral("%1 \"%2\": %3").arg(What, Name, QString::fromLocal8Bit(strerror(errno)));
}

// Closes a descriptor when it goes out of scope.
class TFd {
public:
    explicit TFd(int Fd) : FFd(Fd) {}
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    int Release() {
        const int Fd = FFd;
        FFd = -1;
        return Fd;
    }

private:
    int FFd;
};

bool WriteAll(int Fd, const char* Data, ssize_t Size) {
    while (Size > 0) {
        const ssize_t Done = ::write(Fd, Data, static_cast<size_t>(Size));
        if (Done < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Data += Done;
        Size -= Done;
    }
    return true;
}

} // namespace

QString SafeExtension(const QString& Extension, const QString& Fallback) {
    if (Extension.isEmpty() || Extension.size() > 10)
        return Fallback;
    for (const QChar C : Extension) {
        const char16_t U = C.unicode();
        const bool Plain =
            (U >= u'a' && U <= u'z') || (U >= u'A' && U <= u'Z') || (U >= u'0' && U <= u'9');
        if (!Plain)
            return Fallback;
    }
    return Extension;
}

bool MakePrivateFolder(const QString& Folder, QString* Error, bool* Created) {
    if (Created != nullptr)
        *Created = false;
    const QString Clean = QDir::cleanPath(Folder);
    const QString Parent = QFileInfo(Clean).path();
    if (!Parent.isEmpty() && !QDir().mkpath(Parent)) {
        SetError(Error, QStringLiteral("Cannot create the folder \"%1\"").arg(Parent));
        return false;
    }
    const QByteArray Name = QFile::encodeName(Clean);
    if (::mkdir(Name.constData(), 0700) == 0) {
        if (Created != nullptr)
            *Created = true;
        return true;
    }
    if (errno != EEXIST) {
        SetError(Error, SystemError(QStringLiteral("Cannot create the folder"), Clean));
        return false;
    }
    struct stat St {};
    if (::lstat(Name.constData(), &St) != 0) {
        SetError(Error, SystemError(QStringLiteral("Cannot examine"), Clean));
        return false;
    }
    if (!S_ISDIR(St.st_mode) || St.st_uid != ::geteuid()) {
        SetError(Error, QStringLiteral("\"%1\" is not a folder of this user").arg(Clean));
        return false;
    }
    return true;
}

namespace {

// Creates a private file beside Target, lets Fill write it, and renames it
// over Target; rename replaces whatever Target is, a link included, without
// following it. Fill returns false (with the reason set) to give up.
template <typename TFill> bool ReplacePrivately(const QString& Target, QString* Error, TFill Fill) {
    const QFileInfo Info(Target);
    QByteArray Temp = QFile::encodeName(Info.absolutePath() + QStringLiteral("/.") +
                                        Info.fileName() + QStringLiteral(".XXXXXX"));
    // mkostemp creates the file exclusively with mode 0600.
    TFd Out(::mkostemp(Temp.data(), O_CLOEXEC));
    if (Out.Get() < 0) {
        SetError(Error,
                 SystemError(QStringLiteral("Cannot create a file in"), Info.absolutePath()));
        return false;
    }
    bool Ok = Fill(Out.Get());
    if (Ok && ::close(Out.Release()) != 0) {
        SetError(Error, SystemError(QStringLiteral("Cannot write"), Target));
        Ok = false;
    }
    if (Ok && ::rename(Temp.constData(), QFile::encodeName(Target).constData()) != 0) {
        SetError(Error, SystemError(QStringLiteral("Cannot write"), Target));
        Ok = false;
    }
    if (!Ok)
        ::unlink(Temp.constData());
    return Ok;
}

} // namespace

bool CopyPrivateFile(const QString& Source, const QString& Target, QString* Error) {
    TFd In(::open(QFile::encodeName(Source).constData(), O_RDONLY | O_CLOEXEC));
    if (In.Get() < 0) {
        SetError(Error, SystemError(QStringLiteral("Cannot open"), Source));
        return false;
    }
    return ReplacePrivately(Target, Error, [&](int Out) {
        char Buffer[65536];
        for (;;) {
            const ssize_t Got = ::read(In.Get(), Buffer, sizeof Buffer);
            if (Got < 0 && errno == EINTR)
                continue;
            if (Got < 0) {
                SetError(Error, SystemError(QStringLiteral("Cannot read"), Source));
                return false;
            }
            if (Got == 0)
                return true;
            if (!WriteAll(Out, Buffer, Got)) {
                SetError(Error, SystemError(QStringLiteral("Cannot write"), Target));
                return false;
            }
        }
    });
}

bool WritePrivateFile(const QString& Target, const QByteArray& Data, QString* Error) {
    return ReplacePrivately(Target, Error, [&](int Out) {
        if (WriteAll(Out, Data.constData(), Data.size()))
            return true;
        SetError(Error, SystemError(QStringLiteral("Cannot write"), Target));
        return false;
    });
}

namespace {

// QSaveFile writes through a link to its target; a link under the chosen
// name (planted in a shared folder) is replaced instead, as the viewer's
// own files do.
void DropLink(const QString& Target) {
    if (QFileInfo(Target).isSymLink())
        ::unlink(QFile::encodeName(Target).constData());
}

} // namespace

bool SaveUserFile(const QString& Target, const QByteArray& Data, QString* Error) {
    DropLink(Target);
    QSaveFile Out(Target);
    if (!Out.open(QIODevice::WriteOnly) || Out.write(Data) != Data.size() || !Out.commit()) {
        SetError(Error, QStringLiteral("Cannot write %1: %2").arg(Target, Out.errorString()));
        return false;
    }
    return true;
}

bool CopyToUserFile(const QString& Source, const QString& Target, QString* Error) {
    QFile In(Source);
    if (!In.open(QIODevice::ReadOnly)) {
        SetError(Error, QStringLiteral("Cannot open %1: %2").arg(Source, In.errorString()));
        return false;
    }
    DropLink(Target);
    QSaveFile Out(Target);
    if (!Out.open(QIODevice::WriteOnly)) {
        SetError(Error, QStringLiteral("Cannot write %1: %2").arg(Target, Out.errorString()));
        return false;
    }
    QByteArray Buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 Got = In.read(Buffer.data(), Buffer.size());
        if (Got < 0) {
            SetError(Error, QStringLiteral("Cannot read %1: %2").arg(Source, In.errorString()));
            return false; // the unfinished copy is discarded with Out
        }
        if (Got == 0)
            break;
        if (Out.write(Buffer.constData(), Got) != Got)
            break; // commit() reports the error
    }
    if (!Out.commit()) {
        SetError(Error, QStringLiteral("Cannot write %1: %2").arg(Target, Out.errorString()));
        return false;
    }
    return true;
}

bool RemoveFile(const QString& FileName) {
    const QByteArray Name = QFile::encodeName(FileName);
    if (::unlink(Name.constData()) == 0)
        return true;
    return errno == ENOENT;
}

bool RemoveEmptyFolder(const QString& Folder) {
    // Without a trailing separator rmdir does not follow a link.
    return ::rmdir(QFile::encodeName(QDir::cleanPath(Folder)).constData()) == 0;
}

} // namespace viewer_files
