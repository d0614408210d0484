#include "DemoArchive.h"

#include "ArchiveStore.h"
#include "ArchiveWriter.h"
#include "DemoContent.h"
#include "Mp3Writer.h"
#include "PdfWriter.h"
#include "Prng.h"
#include "Schema.h"
#include "WavWriter.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>

namespace vqarchive {

std::string formatGlobalCallId(int64_t id) {
    const auto u = static_cast<uint64_t>(id);
    uint64_t first = (u >> 38) & 0x3FFFFFF;
    const unsigned second = static_cast<unsigned>((u >> 30) & 0xFF);
    const unsigned third = static_cast<unsigned>(u & 0x3FFFFFFF);
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    char part1[6] = "XXXXX";
    for (int pos = 4; pos >= 0 && first != 0; --pos) {
        part1[pos] = digits[first % 36];
        first /= 36;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%5s-%02X-%05X-%03X", part1, second, third >> 12, third & 0xFFF);
    return buf;
}

namespace {

struct Party {
    uint32_t user = 0;
    uint32_t group = 0;
    std::string external;
    std::string name; // for transcripts
    uint32_t ref = 0; // which list and place it comes from (Generator::partyRef)
};

// A call that a later record of its attached data may refer to, kept small:
// an archive of millions of records remembers millions of calls.
struct CallMemo {
    uint64_t callNumber = 0;
    std::array<uint32_t, 3> parties{};
    std::array<int8_t, 3> roles{};
    uint8_t count = 0;
};

enum class Kind : uint8_t { im, callrec, vm, fax, cad, webchat };

const char* kindText(Kind k) {
    switch (k) {
    case Kind::im:
        return "im";
    case Kind::callrec:
        return "callrec";
    case Kind::vm:
        return "vm";
    case Kind::fax:
        return "fax";
    case Kind::cad:
        return "cad";
    case Kind::webchat:
        return "webchat";
    }
    return "unknown";
}

struct PlannedRecord {
    Kind kind = Kind::im;
    int64_t time = 0;
    std::string callId;
    std::vector<std::pair<Party, int32_t>> parties; // with role
    std::string text;                               // im, webchat
    size_t poolIndex = 0;                           // callrec, vm, fax
    std::vector<demo::CadItem> cad;                 // attached to the call
};

// A bounded set of distinct data files per kind that records share, so that
// an archive of any size needs a bounded amount of disk.
struct PoolFile {
    std::string filename;
    int32_t duration = 0;
    int64_t size = 0;
    bool made = false;
};

class Generator {
public:
    Generator(const DemoOptions& o, ArchiveWriter& w) : opt_(o), writer_(w), rng_(o.seed) {
        endTime_ = o.endTime;
        if (endTime_ <= 0) {
            const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
            endTime_ = (now / 86400 + 1) * 86400;
        }
    }

    // The records are planned in a random order of times and numbered in
    // the order of their times. Instead of holding the whole plan to sort
    // it, the planning runs twice from the same random state: the first run
    // keeps only each record's time, from which every record's number
    // follows, and the second writes each record under its number as it is
    // planned. Memory stays at a few bytes a record.
    DemoSummary run() {
        makePeople();
        const Prng planning = rng_.fork(2);
        numberByTime(planning);
        write(planning);
        if (opt_.longRecordingBytes)
            writeLongRecording();
        writer_.setInfo("schema_version", std::to_string(kSchemaVersion));
        writer_.setInfo("generator", "vqarchived --create-demo");
        writer_.setInfo("seed", std::to_string(opt_.seed));
        writer_.setInfo("records", std::to_string(summary_.records));
        writer_.commit();
        return summary_;
    }

private:
    std::string personName(Prng& r) {
        return r.pick(demo::firstNames()) + " " + r.pick(demo::lastNames());
    }

    void makePeople() {
        Prng r = rng_.fork(1);
        const size_t userCount = std::clamp<size_t>(opt_.records / 100, 24, 150);
        std::set<std::string> taken;
        for (size_t i = 0; users_.size() < userCount && i < userCount * 20; ++i) {
            std::string name = personName(r);
            if (!taken.insert(name).second)
                continue;
            Party p;
            p.user = static_cast<uint32_t>(1001 + users_.size());
            p.name = name;
            p.ref = partyRef(userList, users_.size());
            char phone[32];
            std::snprintf(phone, sizeof phone, "%u", 2000 + p.user);
            writer_.addUser(p.user, name, phone);
            users_.push_back(p);
        }
        for (size_t g = 0; g < demo::groupNames().size(); ++g) {
            const auto id = static_cast<uint32_t>(101 + g);
            writer_.addGroup(id, demo::groupNames()[g]);
            groups_.push_back({0, id, {}, demo::groupNames()[g], partyRef(groupList, g)});
        }
        // Agents: most users work in one group, some in two, a few in none.
        std::set<std::pair<uint32_t, uint32_t>> pairs;
        for (const auto& u : users_) {
            if (r.chance(0.15))
                continue;
            const int memberships = r.chance(0.25) ? 2 : 1;
            for (int m = 0; m < memberships; ++m) {
                const auto& g = r.pick(groups_);
                if (pairs.insert({u.user, g.group}).second)
                    agents_.push_back({u.user,
                                       g.group,
                                       {},
                                       g.name + " agent " + u.name,
                                       partyRef(agentList, agents_.size())});
            }
        }
        const size_t externalCount = std::clamp<size_t>(opt_.records / 20, 30, 3000);
        std::set<std::string> seen;
        for (size_t i = 0; externals_.size() < externalCount && i < externalCount * 4; ++i) {
            std::string number = demo::externalNumber(r);
            if (seen.insert(number).second)
                externals_.push_back(
                    {0, 0, number, number, partyRef(externalList, externals_.size())});
        }
        summary_.users = static_cast<uint32_t>(users_.size());
        summary_.groups = static_cast<uint32_t>(groups_.size());
        summary_.agents = static_cast<uint32_t>(agents_.size());
    }

    // Office hours are busier than nights and weekends.
    int64_t randomTime(Prng& r) {
        const int64_t span = static_cast<int64_t>(opt_.days) * 86400;
        for (;;) {
            const int64_t t = endTime_ - span + r.range(0, span - 1);
            const int64_t hour = (t % 86400) / 3600;
            const int64_t weekday = (t / 86400 + 4) % 7; // 1970-01-01 was a Thursday
            double p = (hour >= 7 && hour < 19) ? 1.0 : 0.12;
            if (weekday == 0 || weekday == 6)
                p *= 0.3;
            if (r.chance(p))
                return t;
        }
    }

    uint64_t newCallNumber(Prng& r) {
        const uint64_t first = r.below(36ull * 36 * 36 * 36 * 36);
        return (first << 38) | (r.below(256) << 30) | r.below(1ull << 30);
    }

    std::string newCallId(Prng& r) {
        return formatGlobalCallId(static_cast<int64_t>(newCallNumber(r)));
    }

    // A party's list in the top byte, its place in the list below.
    enum PartyList : uint32_t { userList, groupList, agentList, externalList, visitorList };
    static uint32_t partyRef(PartyList list, size_t index) {
        return list << 24 | static_cast<uint32_t>(index);
    }
    const Party& partyOf(uint32_t ref) const {
        const size_t index = ref & 0xFFFFFF;
        switch (static_cast<PartyList>(ref >> 24)) {
        case userList:
            return users_[index];
        case groupList:
            return groups_[index];
        case agentList:
            return agents_[index];
        case externalList:
        case visitorList:
            break;
        }
        return externals_[index];
    }

    Party internalParty(Prng& r) {
        if (!agents_.empty() && r.chance(0.55))
            return r.pick(agents_);
        return r.pick(users_);
    }

    void plan(Prng r) {
        recentCalls_.clear();
        // Shares of the record kinds; IM records come in conversations.
        const std::vector<std::pair<Kind, double>> shares = {
            {Kind::im, 0.44},  {Kind::callrec, 0.24}, {Kind::vm, 0.10},
            {Kind::fax, 0.08}, {Kind::cad, 0.06},     {Kind::webchat, 0.08}};
        std::map<Kind, size_t> wanted;
        for (const auto& [k, share] : shares)
            wanted[k] = static_cast<size_t>(std::llround(share * opt_.records));
        const auto poolSize = [](size_t n, size_t per, size_t cap) {
            return std::clamp<size_t>((n + per - 1) / per, 2, cap);
        };
        pools_[Kind::callrec].resize(poolSize(wanted[Kind::callrec], 25, 40));
        pools_[Kind::vm].resize(poolSize(wanted[Kind::vm], 20, 24));
        pools_[Kind::fax].resize(poolSize(wanted[Kind::fax], 10, 40));

        // A conversation gives five messages on average.
        wanted[Kind::im] = (wanted[Kind::im] + 4) / 5;
        std::vector<Kind> order;
        for (const auto& [k, n] : wanted)
            for (size_t i = 0; i < n; ++i)
                order.push_back(k);
        // Shuffle so that pool use and times do not follow the kind order.
        for (size_t i = order.size(); i > 1; --i)
            std::swap(order[i - 1], order[r.below(i)]);

        size_t planned = 0;
        for (size_t i = 0; planned < opt_.records; ++i) {
            const size_t left = opt_.records - planned;
            switch (i < order.size() ? order[i] : Kind::callrec) {
            case Kind::im:
                planned += planConversation(r, std::min(left, static_cast<size_t>(r.range(2, 9))));
                break;
            case Kind::callrec:
                planCall(r);
                ++planned;
                break;
            case Kind::vm:
                planVoiceMail(r);
                ++planned;
                break;
            case Kind::fax:
                planFax(r);
                ++planned;
                break;
            case Kind::cad:
                planCadRecord(r);
                ++planned;
                break;
            case Kind::webchat:
                planWebchat(r);
                ++planned;
                break;
            }
        }
    }

    void numberByTime(const Prng& planning) {
        const int64_t start = endTime_ - static_cast<int64_t>(opt_.days) * 86400;
        // Time since the span's start in the high half, the place in the
        // plan in the low half: sorted, they give the order of a stable
        // sort by time.
        std::vector<uint64_t> keys;
        keys.reserve(opt_.records);
        emit_ = [&](PlannedRecord&& rec) {
            keys.push_back(static_cast<uint64_t>(rec.time - start) << 32 | keys.size());
        };
        plan(planning);
        std::sort(keys.begin(), keys.end());
        number_.assign(keys.size(), 0);
        for (size_t i = 0; i < keys.size(); ++i)
            number_[keys[i] & 0xFFFFFFFFu] = static_cast<uint32_t>(i + 1);
    }

    size_t planConversation(Prng& r, size_t messages) {
        std::vector<Party> members;
        const size_t count = r.chance(0.2) ? static_cast<size_t>(r.range(3, 4)) : 2;
        std::set<std::pair<uint32_t, uint32_t>> used;
        for (size_t tries = 0; members.size() < count && tries < 20; ++tries) {
            Party p = internalParty(r);
            if (used.insert({p.user, p.group}).second)
                members.push_back(p);
        }
        // Now and then a contact outside the company takes part.
        if (members.size() < 2 || r.chance(0.1)) {
            Party contact = r.pick(externals_);
            if (members.size() >= 2)
                members.back() = contact;
            else
                members.push_back(contact);
        }
        const auto texts = demo::conversation(r, messages);
        const std::string session = newCallId(r);
        int64_t t = randomTime(r);
        size_t sender = 0;
        for (const auto& text : texts) {
            PlannedRecord rec;
            rec.kind = Kind::im;
            rec.time = t;
            rec.callId = session;
            rec.text = text;
            for (size_t m = 0; m < members.size(); ++m)
                rec.parties.push_back({members[m], m == sender ? 1 : 0});
            emit_(std::move(rec));
            t += r.range(5, 240);
            // Mostly alternating, sometimes two messages in a row.
            if (!r.chance(0.25))
                sender = (sender + 1 + (members.size() > 2 ? r.below(members.size() - 1) : 0)) %
                         members.size();
        }
        return texts.size();
    }

    void planCall(Prng& r) {
        PlannedRecord rec;
        rec.kind = Kind::callrec;
        rec.time = randomTime(r);
        CallMemo memo;
        memo.callNumber = newCallNumber(r);
        rec.callId = formatGlobalCallId(static_cast<int64_t>(memo.callNumber));
        rec.poolIndex = r.below(pools_[Kind::callrec].size());
        const bool inbound = r.chance(0.6);
        if (inbound) {
            rec.parties.push_back({r.pick(externals_), 1});
            rec.parties.push_back({internalParty(r), 0});
        } else {
            rec.parties.push_back({internalParty(r), 1});
            rec.parties.push_back({r.chance(0.7) ? r.pick(externals_) : r.pick(users_), 0});
        }
        if (r.chance(0.1))
            rec.parties.push_back({r.pick(users_), -1});
        rec.cad = demo::callAttachedData(r);
        for (const auto& [party, role] : rec.parties) {
            memo.parties[memo.count] = party.ref;
            memo.roles[memo.count++] = static_cast<int8_t>(role);
        }
        recentCalls_.push_back(memo);
        emit_(std::move(rec));
    }

    void planVoiceMail(Prng& r) {
        PlannedRecord rec;
        rec.kind = Kind::vm;
        rec.time = randomTime(r);
        rec.callId = newCallId(r);
        rec.poolIndex = r.below(pools_[Kind::vm].size());
        rec.parties.push_back({r.chance(0.7) ? r.pick(externals_) : r.pick(users_), 1});
        rec.parties.push_back({r.pick(users_), 0});
        if (r.chance(0.3))
            rec.cad = demo::callAttachedData(r);
        emit_(std::move(rec));
    }

    void planFax(Prng& r) {
        PlannedRecord rec;
        rec.kind = Kind::fax;
        rec.time = randomTime(r);
        rec.callId = newCallId(r);
        rec.poolIndex = r.below(pools_[Kind::fax].size());
        rec.parties.push_back({r.pick(externals_), 1});
        rec.parties.push_back({r.chance(0.5) ? r.pick(groups_) : r.pick(users_), 0});
        emit_(std::move(rec));
    }

    // A record of a call's attached data alone, for a call recorded earlier
    // (or a call of its own when none was planned yet).
    void planCadRecord(Prng& r) {
        PlannedRecord rec;
        rec.kind = Kind::cad;
        rec.time = randomTime(r);
        if (!recentCalls_.empty() && r.chance(0.8)) {
            const CallMemo& call = r.pick(recentCalls_);
            rec.callId = formatGlobalCallId(static_cast<int64_t>(call.callNumber));
            for (uint8_t i = 0; i < call.count; ++i)
                rec.parties.push_back({partyOf(call.parties[i]), call.roles[i]});
        } else {
            rec.callId = newCallId(r);
            rec.parties.push_back({r.pick(externals_), 1});
            rec.parties.push_back({internalParty(r), 0});
            rec.cad = demo::callAttachedData(r);
        }
        emit_(std::move(rec));
    }

    void planWebchat(Prng& r) {
        PlannedRecord rec;
        rec.kind = Kind::webchat;
        rec.time = randomTime(r);
        rec.callId = newCallId(r);
        Party visitor{0, 0, demo::webVisitor(r), {}, partyRef(visitorList, 0)};
        visitor.name = visitor.external;
        const Party agent = agents_.empty() ? r.pick(users_) : r.pick(agents_);
        rec.parties.push_back({visitor, 1});
        rec.parties.push_back({agent, 0});
        rec.text = demo::webchatTranscript(r, visitor.name, agent.name);
        emit_(std::move(rec));
    }

    const PoolFile& poolFile(Kind kind, size_t index) {
        PoolFile& f = pools_[kind][index];
        if (f.made)
            return f;
        // Each file has its own stream, so its content depends only on the
        // seed, the kind and the index, not on which record asked first.
        Prng r = Prng(opt_.seed).fork(1000 + static_cast<uint64_t>(kind) * 100000 + index);
        std::vector<uint8_t> bytes;
        std::string ext;
        if (kind == Kind::fax) {
            bytes = makeFax(r, index);
            ext = "pdf";
        } else {
            const double cap = std::max(2.0, opt_.maxAudioSeconds);
            double seconds;
            if (kind == Kind::callrec)
                seconds = 8 + (std::min(cap, 300.0) - 8) * std::pow(r.real(), 3.0);
            else
                seconds = 5 + (std::min(cap, 90.0) - 5) * std::pow(r.real(), 2.0);
            seconds = std::clamp(seconds, 1.0, cap);
            const auto samples = synthesizeAudio(
                r, kind == Kind::callrec ? AudioKind::callRecording : AudioKind::voiceMail,
                seconds);
            f.duration = static_cast<int32_t>(
                std::lround(static_cast<double>(samples.size()) / kWavSampleRate));
            // Archives hold compressed recordings next to plain ones. Chosen
            // by index, not drawn, so the WAV files stay as they were and
            // even the smallest pool (two files) has one of each.
            const bool mp3 = index % 3 == 1;
            bytes = mp3 ? mp3File(samples) : wavFile(samples);
            ext = mp3 ? "mp3" : "wav";
        }
        f.filename = hex64(contentHash(bytes)) + "." + ext;
        f.size = static_cast<int64_t>(bytes.size());
        if (!writer_.hasFile(f.filename)) {
            writer_.addFile(f.filename, bytes);
            ++summary_.files;
            summary_.fileBytes += bytes.size();
        }
        f.made = true;
        return f;
    }

    std::vector<uint8_t> makeFax(Prng& r, size_t index) {
        const std::string from = r.pick(demo::companies());
        const size_t pages = static_cast<size_t>(r.range(1, 6));
        PdfDocument pdf("Fax from " + from);
        pdf.newPage();
        // Cover sheet: heading, a boxed table of the transmission facts.
        pdf.text(60, 770, 36, PdfFont::bold, "FAX");
        pdf.line(60, 755, 535, 755, 2);
        const std::vector<std::pair<std::string, std::string>> facts = {
            {"From:", from},
            {"To:", r.pick(demo::groupNames())},
            {"Fax number:", demo::externalNumber(r)},
            {"Pages:", std::to_string(pages + 1)},
            {"Reference:", "FX-" + std::to_string(10000 + index)}};
        double y = 720;
        for (const auto& [label, value] : facts) {
            pdf.rect(60, y - 8, 475, 26, 0.5);
            pdf.text(70, y, 12, PdfFont::bold, label);
            pdf.text(180, y, 12, PdfFont::regular, value);
            y -= 26;
        }
        y -= 30;
        for (const auto& line : demo::faxLetter(r, static_cast<size_t>(r.range(3, 8)))) {
            pdf.text(60, y, 11, PdfFont::regular, line);
            y -= 16;
        }
        for (size_t p = 0; p < pages; ++p) {
            pdf.newPage();
            pdf.text(60, 800, 10, PdfFont::mono,
                     "Page " + std::to_string(p + 2) + " of " + std::to_string(pages + 1));
            pdf.line(60, 790, 535, 790, 0.5);
            double ly = 760;
            for (const auto& line : demo::faxLetter(r, static_cast<size_t>(r.range(10, 30)))) {
                pdf.text(60, ly, 11, PdfFont::regular, line);
                ly -= 15;
            }
            // An item table drawn as a grid.
            const double top = std::max(120.0, ly - 20);
            for (int row = 0; row <= 4; ++row)
                pdf.line(60, top - row * 20, 535, top - row * 20, 0.7);
            for (double x : {60.0, 300.0, 420.0, 535.0})
                pdf.line(x, top, x, top - 80, 0.7);
            // A signature scribble.
            double sx = 80, sy = 70;
            for (int s = 0; s < 12; ++s) {
                const double nx = sx + r.real(8, 18);
                const double ny = 70 + r.real(-12, 12);
                pdf.line(sx, sy, nx, ny, 1.2);
                sx = nx;
                sy = ny;
            }
        }
        return pdf.bytes();
    }

    void write(const Prng& planning) {
        std::vector<bool> externalsUsed(externals_.size());
        std::set<std::string> visitors; // at most 100,000 names
        uint32_t written = 0;
        emit_ = [&](PlannedRecord&& rec) {
            MediaRecord m;
            m.id = number_[written++];
            m.type = kindText(rec.kind);
            m.callId = rec.callId;
            m.timestamp = rec.time;
            if (rec.kind == Kind::callrec || rec.kind == Kind::vm || rec.kind == Kind::fax) {
                const PoolFile& f = poolFile(rec.kind, rec.poolIndex);
                m.filename = f.filename;
                m.duration = f.duration;
                m.dataSize = f.size;
            } else if (!rec.text.empty()) {
                m.dataSize = static_cast<int64_t>(rec.text.size());
            }
            writer_.addMedia(m);
            if (!rec.text.empty())
                writer_.addMessage(m.id, rec.text);
            for (const auto& [party, role] : rec.parties) {
                writer_.addParticipant({m.id, party.user, party.group, party.external, role});
                if (party.ref >> 24 == externalList)
                    externalsUsed[party.ref & 0xFFFFFF] = true;
                else if (!party.external.empty())
                    visitors.insert(party.external);
            }
            // At most one record of a call carries its attached data (the
            // call's recording, or a record of the data alone for a call that
            // has no recording): no set of the calls written is needed.
            if (!rec.cad.empty()) {
                for (const auto& item : rec.cad) {
                    writer_.addCad(rec.callId, item.name, item.value, item.description);
                    ++summary_.cadRows;
                }
            }
            ++summary_.byType[m.type];
        };
        plan(planning);
        summary_.records = written;
        summary_.externals = static_cast<uint32_t>(
            visitors.size() + std::count(externalsUsed.begin(), externalsUsed.end(), true));
        number_ = {};
    }

    // A WAV file of exactly the asked size: a slowly gliding tone, cheap to
    // make however long it is.
    void writeLongRecording() {
        const uint64_t header = 44;
        const uint64_t size =
            std::max<uint64_t>(opt_.longRecordingBytes, header + 2) & ~uint64_t{1};
        std::vector<int16_t> samples(static_cast<size_t>((size - header) / 2));
        double phase = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            const double hz = 300 + 200 * std::sin(static_cast<double>(i) / 40000.0);
            phase += 2 * M_PI * hz / kWavSampleRate;
            samples[i] = static_cast<int16_t>(6000 * std::sin(phase));
        }
        const std::vector<uint8_t> bytes = wavFile(samples);
        MediaRecord m;
        m.id = summary_.records + 1;
        m.type = kindText(Kind::callrec);
        m.callId = formatGlobalCallId(static_cast<int64_t>(0x7000000000000000ull | m.id));
        m.timestamp = endTime_ - 3600;
        m.filename = hex64(contentHash(bytes)) + ".wav";
        m.duration = static_cast<int32_t>(samples.size() / kWavSampleRate);
        m.dataSize = static_cast<int64_t>(bytes.size());
        writer_.addFile(m.filename, bytes);
        writer_.addMedia(m);
        const Party& caller = users_.front();
        writer_.addParticipant({m.id, caller.user, caller.group, caller.external, 1});
        const Party& callee = externals_.front();
        writer_.addParticipant({m.id, callee.user, callee.group, callee.external, 0});
        ++summary_.files;
        summary_.fileBytes += bytes.size();
        ++summary_.byType[m.type];
        summary_.records = m.id;
        summary_.longRecordingId = m.id;
    }

    const DemoOptions& opt_;
    ArchiveWriter& writer_;
    Prng rng_;
    int64_t endTime_ = 0;
    std::vector<Party> users_, groups_, agents_, externals_;
    std::map<Kind, std::vector<PoolFile>> pools_;
    std::vector<CallMemo> recentCalls_;
    std::function<void(PlannedRecord&&)> emit_;
    std::vector<uint32_t> number_; // a record's number by its place in the plan
    DemoSummary summary_;
};

} // namespace

DemoSummary createDemoArchive(const std::string& target, const DemoOptions& options) {
    if (options.records == 0)
        throw StoreError("a demo archive needs at least one record");
    if (options.days == 0)
        throw StoreError("a demo archive needs a time span of at least one day");
    if (options.days > 36500 ||
        (options.endTime > 0 && options.endTime < static_cast<int64_t>(options.days) * 86400))
        throw StoreError("the demo archive's time span must lie after 1970 and last at most "
                         "36,500 days");
    auto writer = createArchiveWriter(target, options.replace);
    Generator generator(options, *writer);
    return generator.run();
}

DemoSummary createDemoArchive(const std::string& target, uint64_t seed, uint32_t records) {
    DemoOptions o;
    o.seed = seed;
    o.records = records;
    return createDemoArchive(target, o);
}

} // namespace vqarchive
