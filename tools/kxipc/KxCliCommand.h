// The peer's line protocol on stdin: one command a line, parsed without touching the channel.
//
// Windows-free (standard headers only): the parser is tested on its own, without a channel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One message to send or post: what `send`/`post` carry and what the `on-...` commands arm.
struct KxCliMessage {
    bool synchronous = false;            // SendIPMessage (true) or PostIPMessage
    bool toAllOthers = false;            // TARGETS "*": a null recipient list, every other member
    std::vector<std::uint32_t> targets;  // TARGETS "ID,ID,...": in the given order, repeats kept
    std::uint32_t code = 0;
    std::uint64_t param = 0;
};

struct KxCliCommand {
    enum class Kind {
        kMessage,     // send TARGETS CODE PARAM | post TARGETS CODE PARAM
        kSendReport,  // send-report TARGETS CODE PARAM: a synchronous send, reported per target
        kMembers,     // members
        kLeave,       // leave
        kRejoin,      // rejoin
        kExit,        // exit
        kArm,         // on-sync|on-recv|on-join|on-quit send|post TARGETS CODE PARAM: run inside
                      // the next call of that handler
    };
    // The handler an armed message waits for.
    enum class Handler { kSync, kRecv, kJoin, kQuit };
    Kind kind = Kind::kExit;
    KxCliMessage message;              // kMessage, kSendReport, kArm
    Handler handler = Handler::kSync;  // kArm
};

// Parses one line (words separated by blanks). False, with *error set to a one-line reason and
// *command unspecified, for an empty line, an unknown command, a wrong number of words or a
// malformed number or target list.
bool KxParseCliCommand(const std::string& line, KxCliCommand* command, std::string* error);

// Unsigned decimal ("42") or 0x-hexadecimal ("0x2A"), the whole text, no sign, within range.
bool KxParseCliNumber(const std::string& text, std::uint32_t* value);
bool KxParseCliNumber(const std::string& text, std::uint64_t* value);
