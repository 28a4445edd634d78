// Parsing of the peer's input lines.
#include "KxCliCommand.h"

#include <limits>
#include <sstream>

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* value) {
    std::uint64_t base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size()) return false;
    std::uint64_t result = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        std::uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint64_t>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint64_t>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint64_t>(c - 'A' + 10);
        } else {
            return false;
        }
        if (result > (max - digit) / base) return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

// "*" or "ID,ID,...": no empty entry, every entry a 32-bit number.
bool ParseTargets(const std::string& text, KxCliMessage* message) {
    message->targets.clear();
    message->toAllOthers = text == "*";
    if (message->toAllOthers) return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        std::uint32_t id = 0;
        if (!KxParseCliNumber(text.substr(start, comma - start), &id)) return false;
        message->targets.push_back(id);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// words[first..]: "VERB TARGETS CODE PARAM", VERB one of verbs ("send|post", "send-report").
bool ParseMessage(const std::vector<std::string>& words, std::size_t first,
                  const std::string& verbs, KxCliMessage* message, std::string* error) {
    const bool verbFits = words.size() > first &&
                          ("|" + verbs + "|").find("|" + words[first] + "|") != std::string::npos;
    if (words.size() != first + 4 || !verbFits) {
        *error = "expected: " + (first == 0 ? std::string() : words[0] + " ") + verbs +
                 " TARGETS CODE PARAM";
        return false;
    }
    message->synchronous = words[first] != "post";
    if (!ParseTargets(words[first + 1], message)) {
        *error = "bad targets '" + words[first + 1] + "' (expected * or ID,ID,...)";
        return false;
    }
    if (!KxParseCliNumber(words[first + 2], &message->code)) {
        *error = "bad message code '" + words[first + 2] + "'";
        return false;
    }
    if (!KxParseCliNumber(words[first + 3], &message->param)) {
        *error = "bad parameter '" + words[first + 3] + "'";
        return false;
    }
    return true;
}

}  // namespace

bool KxParseCliNumber(const std::string& text, std::uint32_t* value) {
    std::uint64_t wide = 0;
    if (!ParseUnsigned(text, std::numeric_limits<std::uint32_t>::max(), &wide)) return false;
    *value = static_cast<std::uint32_t>(wide);
    return true;
}

bool KxParseCliNumber(const std::string& text, std::uint64_t* value) {
    return ParseUnsigned(text, std::numeric_limits<std::uint64_t>::max(), value);
}

bool KxParseCliCommand(const std::string& line, KxCliCommand* command, std::string* error) {
    std::vector<std::string> words;
    std::istringstream stream(line);
    for (std::string word; stream >> word;) words.push_back(word);
    if (words.empty()) {
        *error = "empty command";
        return false;
    }
    const std::string& verb = words[0];
    using Kind = KxCliCommand::Kind;
    if (verb == "send" || verb == "post") {
        command->kind = Kind::kMessage;
        return ParseMessage(words, 0, "send|post", &command->message, error);
    }
    if (verb == "send-report") {
        command->kind = Kind::kSendReport;
        return ParseMessage(words, 0, verb, &command->message, error);
    }
    static const struct {
        const char* verb;
        KxCliCommand::Handler handler;
    } kArms[] = {{"on-sync", KxCliCommand::Handler::kSync},
                 {"on-recv", KxCliCommand::Handler::kRecv},
                 {"on-join", KxCliCommand::Handler::kJoin},
                 {"on-quit", KxCliCommand::Handler::kQuit}};
    for (const auto& arm : kArms) {
        if (verb != arm.verb) continue;
        command->kind = Kind::kArm;
        command->handler = arm.handler;
        return ParseMessage(words, 1, "send|post", &command->message, error);
    }
    static const struct {
        const char* verb;
        Kind kind;
    } kBareCommands[] = {{"members", Kind::kMembers},
                         {"leave", Kind::kLeave},
                         {"rejoin", Kind::kRejoin},
                         {"exit", Kind::kExit}};
    for (const auto& bare : kBareCommands) {
        if (verb != bare.verb) continue;
        if (words.size() != 1) {
            *error = verb + " takes no arguments";
            return false;
        }
        command->kind = bare.kind;
        return true;
    }
    *error = "unknown command '" + verb + "'";
    return false;
}
