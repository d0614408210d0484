// Bulk loading of a new archive (the demo generator's output side), with
// one implementation per database. All rows go in one transaction: a
// failed run leaves no half-made archive behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vqarchive {

struct MediaRecord {
    uint32_t id = 0;
    std::string type; // "im", "callrec", ...
    std::string callId;
    int64_t timestamp = 0;
    std::string filename; // empty: NULL
    int32_t duration = 0; // seconds, recordings only (0: NULL)
    int64_t dataSize = 0;
};

struct ParticipantRecord {
    uint32_t mediaId = 0;
    uint32_t userId = 0;  // 0: NULL
    uint32_t groupId = 0; // 0: NULL
    std::string external; // empty: NULL
    int32_t role = 0;     // 1 caller, 0 recipient, -1 supervisor
};

class ArchiveWriter {
public:
    virtual ~ArchiveWriter() = default;

    virtual void addUser(uint32_t id, const std::string& name, const std::string& phone) = 0;
    virtual void addGroup(uint32_t id, const std::string& name) = 0;
    virtual void addMedia(const MediaRecord& m) = 0;
    virtual void addParticipant(const ParticipantRecord& p) = 0;
    virtual void addMessage(uint32_t mediaId, const std::string& body) = 0;
    virtual void addCad(const std::string& callId, const std::string& name,
                        const std::string& value, const std::string& description) = 0;
    virtual bool hasFile(const std::string& filename) = 0;
    virtual void addFile(const std::string& filename, const std::vector<uint8_t>& content) = 0;
    virtual void setInfo(const std::string& name, const std::string& value) = 0;
    // Makes the archive visible; without it nothing of the run remains.
    virtual void commit() = 0;
};

// `target` is a folder (SQLite) or a mysql:// address. An existing archive
// there is replaced only when `replace` is set, else StoreError.
std::unique_ptr<ArchiveWriter> createArchiveWriter(const std::string& target, bool replace);

std::unique_ptr<ArchiveWriter> createSqliteWriter(const std::string& folder, bool replace);
std::unique_ptr<ArchiveWriter> createMariaWriter(const std::string& url, bool replace);

} // namespace vqarchive
