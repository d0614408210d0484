// Records for an evidence package straight from libvqlink.so, for programs
// without the viewer's connection controller (vqcli): the record's rows by
// the result list's own statement, its call attached data as the media
// player asks for them, its bytes by a download of that record alone. One
// request at a time; Fetch returns when the record is complete.
//
// The library's callbacks carry no context, so the source takes the result
// and error callback slots while it lives (one source at a time) and
// empties them when it goes. The caller starts the library and connects.
#pragma once

#include "EvidenceExport.h"

#include <functional>
#include <memory>

class TLinkEvidenceSource : public TEvidenceSource {
public:
    // TimeoutSeconds: the longest wait for the server's next answer.
    // CancelRequested is polled while waiting (a signal handler's flag).
    explicit TLinkEvidenceSource(int TimeoutSeconds, std::function<bool()> CancelRequested = {});
    ~TLinkEvidenceSource() override;
    TLinkEvidenceSource(const TLinkEvidenceSource&) = delete;
    TLinkEvidenceSource& operator=(const TLinkEvidenceSource&) = delete;

    void Fetch(quint32 MediaId, TEvidenceSink& Sink) override;
    void Cancel() override;

    // The server's dialect, asked once; 0 when the library reports an error.
    int ServerType();
    // What the library reported through its error callback, if anything.
    QString LibraryError() const;

    // Downloaded pieces waiting for the sink beyond this make the
    // library's thread wait: memory stays bounded however fast the server.
    static constexpr qint64 MaxQueuedBytes = 8LL * 1024 * 1024;

private:
    struct TWait;
    bool RunSelect(const QString& Statement, QList<QStringList>& Rows, QString& Error, bool& Fatal);
    void RunDownload(quint32 MediaId, TEvidenceSink& Sink);
    quint32 NewJobId();

    int FTimeout;
    std::function<bool()> FCancelRequested;
    bool FCancelled = false;
    int FServerType = -1;
    quint32 FLastJob = 0;
};
