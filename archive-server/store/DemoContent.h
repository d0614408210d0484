// The words of the demo archive: names, message texts, fax letters, call
// attached data. Kept apart from the generator's structure.
#pragma once

#include "Prng.h"

#include <string>
#include <vector>

namespace vqarchive::demo {

const std::vector<std::string>& firstNames();
const std::vector<std::string>& lastNames();
const std::vector<std::string>& groupNames();
const std::vector<std::string>& companies();

// A realistic external address: a phone number in one of several national
// formats, now and then a SIP address.
std::string externalNumber(Prng& rng);
// A web visitor's address for chats.
std::string webVisitor(Prng& rng);

// The messages of one instant-message conversation, in order. Some carry web
// addresses, some are in languages with non-ASCII letters.
std::vector<std::string> conversation(Prng& rng, size_t messages);

// A web chat transcript between a visitor and an agent.
std::string webchatTranscript(Prng& rng, const std::string& visitor, const std::string& agent);

// Body lines of a fax letter.
std::vector<std::string> faxLetter(Prng& rng, size_t lines);

struct CadItem {
    std::string name;
    std::string value;
    std::string description;
};
std::vector<CadItem> callAttachedData(Prng& rng);

} // namespace vqarchive::demo
