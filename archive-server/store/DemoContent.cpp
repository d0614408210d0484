#include "DemoContent.h"

#include <cstdio>

namespace vqarchive::demo {

const std::vector<std::string>& firstNames() {
    static const std::vector<std::string> v = {
        "Anna",    "Ben",   "Carla",  "David",  "Emma",  "Felix", "Greta",    "Hannah",
        "Ivan",    "Julia", "Karl",   "Lena",   "Marco", "Nina",  "Oskar",    "Paula",
        "Quentin", "Rosa",  "Sven",   "Tina",   "Uwe",   "Vera",  "Walter",   "Xenia",
        "Yusuf",   "Zoë",   "Jürgen", "Łukasz", "Søren", "Inés",  "François", "Chloé",
        "Дмитрий", "Ольга", "Σοφία",  "Νίκος",  "芳",    "Björn", "Ayşe",     "Mikael"};
    return v;
}

const std::vector<std::string>& lastNames() {
    static const std::vector<std::string> v = {
        "Müller",   "Schmidt", "Weber",    "Fischer", "Meyer",   "Wagner",       "Becker",
        "Hoffmann", "Schulz",  "Koch",     "Richter", "Klein",   "Wolf",         "Neumann",
        "Schwarz",  "Krüger",  "Brown",    "Garcia",  "Rossi",   "Dubois",       "Nowak",
        "Kowalski", "Jensen",  "Öztürk",   "Petrov",  "Иванова", "Παπαδόπουλος", "王",
        "Lefèvre",  "Núñez",   "Andersen", "O'Brien"};
    return v;
}

const std::vector<std::string>& groupNames() {
    static const std::vector<std::string> v = {
        "Sales",          "Support",          "Billing",      "Technical Service",
        "Service Client", "Kundendienst Süd", "Отдел продаж", "Back Office",
        "Collections",    "VIP Desk"};
    return v;
}

const std::vector<std::string>& companies() {
    static const std::vector<std::string> v = {
        "Acme Corp",     "Globex GmbH",     "Initech",           "Umbrella Logistics",
        "Stark Trading", "Wayne Insurance", "Müller & Söhne KG", "Société Générale des Eaux",
        "Nordwind AB",   "Tyrell Systems"};
    return v;
}

std::string externalNumber(Prng& rng) {
    char buf[64];
    switch (rng.below(6)) {
    case 0:
        std::snprintf(buf, sizeof buf, "+49 30 %04d %04d", static_cast<int>(rng.range(1000, 9999)),
                      static_cast<int>(rng.range(0, 9999)));
        break;
    case 1:
        std::snprintf(buf, sizeof buf, "+1 (555) %03d-%04d", static_cast<int>(rng.range(200, 999)),
                      static_cast<int>(rng.range(0, 9999)));
        break;
    case 2:
        std::snprintf(buf, sizeof buf, "+44 20 %04d %04d", static_cast<int>(rng.range(1000, 9999)),
                      static_cast<int>(rng.range(0, 9999)));
        break;
    case 3:
        std::snprintf(buf, sizeof buf, "+33 1 %02d %02d %02d %02d",
                      static_cast<int>(rng.range(10, 99)), static_cast<int>(rng.range(10, 99)),
                      static_cast<int>(rng.range(10, 99)), static_cast<int>(rng.range(10, 99)));
        break;
    case 4:
        std::snprintf(buf, sizeof buf, "0%03d %07d", static_cast<int>(rng.range(100, 999)),
                      static_cast<int>(rng.range(0, 9999999)));
        break;
    default: {
        static const std::vector<std::string> sipUsers = {"reception", "office", "desk", "hotline",
                                                          "dispatch"};
        std::snprintf(buf, sizeof buf, "sip:%s.%d@partner.example.net", rng.pick(sipUsers).c_str(),
                      static_cast<int>(rng.range(100, 999)));
        break;
    }
    }
    return buf;
}

std::string webVisitor(Prng& rng) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "visitor-%05d@web", static_cast<int>(rng.range(0, 99999)));
    return buf;
}

namespace {

std::string orderNumber(Prng& rng) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d-%05d", static_cast<int>(rng.range(2019, 2026)),
                  static_cast<int>(rng.range(0, 99999)));
    return buf;
}

std::string url(Prng& rng) {
    static const std::vector<std::string> paths = {
        "https://www.example.com/orders/", "https://support.example.com/tickets/",
        "http://intranet.example.local/wiki/Process-",
        "https://shop.example.org/item?id=", "www.example.net/faq#"};
    return rng.pick(paths) + std::to_string(rng.range(1000, 99999));
}

// Conversation turns in a few languages; "$O" is replaced by an order
// number and "$U" by a web address.
const std::vector<std::vector<std::string>>& phrasebook() {
    static const std::vector<std::vector<std::string>> v = {
        {"Hi, do you have a minute?", "Good morning! Quick question about order $O.",
         "Hello, are you at your desk?", "Hey, the customer from this morning called again."},
        {"Sure, what's up?", "Yes, go ahead.", "Give me two minutes, I'm on a call.",
         "Of course. Which customer?"},
        {"The invoice for order $O shows the wrong address.", "Can you check the ticket here: $U",
         "The delivery is late again, see $U", "They want a refund for $O.",
         "Could you forward me the contract draft?",
         "The escalation queue is full, can you take some calls?"},
        {"I'll take care of it.", "Found it, I'll fix the address today.",
         "Looks like a problem in the warehouse, I'm asking them.", "Here is the document: $U",
         "Refund approved, please tell the customer.", "OK, switching my status to available."},
        {"Thanks a lot!", "Great, thank you.", "Perfect, talk later.", "Cheers!",
         "Thanks, I'll update the customer."},
        // Messages with letters outside ASCII.
        {"Grüß dich! Kannst du dir den Auftrag $O ansehen?", "Schöne Grüße aus München.",
         "Der Kunde möchte eine Rückrufbitte für Dienstag.",
         "Ça marche, je m'en occupe tout de suite.", "¿Puedes revisar el pedido $O, por favor?",
         "Добрый день! Клиент ждёт ответа по заказу $O.", "Καλημέρα, ο πελάτης περιμένει.",
         "请尽快回复客户。", "Dziękuję, zadzwonię jutro.", "Naïve question: is the café open?"},
    };
    return v;
}

std::string fill(Prng& rng, std::string text) {
    for (;;) {
        const size_t o = text.find("$O");
        if (o == std::string::npos)
            break;
        text.replace(o, 2, orderNumber(rng));
    }
    for (;;) {
        const size_t u = text.find("$U");
        if (u == std::string::npos)
            break;
        text.replace(u, 2, url(rng));
    }
    return text;
}

} // namespace

std::vector<std::string> conversation(Prng& rng, size_t messages) {
    const auto& book = phrasebook();
    std::vector<std::string> out;
    const bool foreign = rng.chance(0.2);
    for (size_t i = 0; i < messages; ++i) {
        size_t stage = std::min<size_t>(i, 4);
        if (i >= 4)
            stage = 2 + (i % 3); // a longer talk keeps going back and forth
        if (i + 1 == messages && messages > 2)
            stage = 4;
        const auto& choices = (foreign && rng.chance(0.6)) ? book[5] : book[stage];
        out.push_back(fill(rng, rng.pick(choices)));
    }
    return out;
}

std::string webchatTranscript(Prng& rng, const std::string& visitor, const std::string& agent) {
    static const std::vector<std::string> visitorLines = {
        "Hello, I can't log in to my account.", "Where is my parcel? Order $O.",
        "Do you ship to Österreich?", "I'd like to change my tariff.",
        "The page $U shows an error."};
    static const std::vector<std::string> agentLines = {
        "Let me check that for you.", "Could you give me your customer number?",
        "I've sent you a link: $U", "Thank you for waiting.", "Is there anything else?"};
    std::string out;
    const int turns = static_cast<int>(rng.range(2, 6));
    for (int t = 0; t < turns; ++t) {
        out += visitor + ": " + fill(rng, rng.pick(visitorLines)) + "\n";
        out += agent + ": " + fill(rng, rng.pick(agentLines)) + "\n";
    }
    return out;
}

std::vector<std::string> faxLetter(Prng& rng, size_t lines) {
    static const std::vector<std::string> sentences = {
        "Please find attached the signed purchase order.",
        "We kindly ask you to confirm the delivery date by return fax.",
        "The goods listed below were damaged in transit.",
        "Payment will be made within 30 days of the invoice date.",
        "Our reference number must be quoted on all correspondence.",
        "Bitte bestätigen Sie den Liefertermin.",
        "The prices include packaging but exclude VAT.",
        "Should you have any questions, do not hesitate to contact us.",
        "The meeting is moved to Thursday, 10:00, room 4.12.",
        "Enclosed: copy of the customs declaration."};
    std::vector<std::string> out;
    for (size_t i = 0; i < lines; ++i)
        out.push_back(rng.pick(sentences));
    return out;
}

std::vector<CadItem> callAttachedData(Prng& rng) {
    std::vector<CadItem> out;
    char buf[64];
    std::snprintf(buf, sizeof buf, "C%07d", static_cast<int>(rng.range(0, 9999999)));
    out.push_back({"CustomerID", buf, "Customer number from the IVR"});
    static const std::vector<std::string> queues = {"Sales", "Support", "Billing", "VIP"};
    out.push_back({"Queue", rng.pick(queues), "Queue the call was routed through"});
    static const std::vector<std::string> languages = {"en", "de", "fr", "es", "ru"};
    out.push_back({"Language", rng.pick(languages), "Caller's language choice"});
    if (rng.chance(0.6))
        out.push_back({"OrderNumber", orderNumber(rng), "Order entered in the IVR"});
    if (rng.chance(0.4)) {
        static const std::vector<std::string> reasons = {"Complaint", "New order", "Question",
                                                         "Cancellation", "Rückfrage"};
        out.push_back({"Reason", rng.pick(reasons), "Reason selected by the caller"});
    }
    if (rng.chance(0.3))
        out.push_back({"Priority", std::to_string(rng.range(1, 5)), "1 is the highest"});
    if (rng.chance(0.2))
        out.push_back({"Company", rng.pick(companies()), "Account name from CRM"});
    return out;
}

} // namespace vqarchive::demo
