// kxipc_bench.exe: the benchmark coordinator and the peer roles it starts in other processes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "KxBenchLines.h"
#include "KxBenchRoles.h"

int main(int argc, char** argv) {
    const std::string role = argc > 1 ? argv[1] : "";
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    int code = 2;  // what every role returns for arguments it does not take
    try {
        if (role == "run") code = KxRunBenchmarks(args);
        if (role == "trace") code = KxRunTraceWorkload(args);
        if (role == "events") code = KxRoleEventEcho(args);
        if (role == "pipe") code = KxRolePipeEcho(args);
        if (role == "members") code = KxRoleMembers(args);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "kxipc_bench %s: %s\n", role.c_str(), failure.what());
        return 1;
    }
    if (code != 2) return code;
    std::fprintf(stderr,
                 "usage: kxipc_bench run JSON_PATH [--quick] [--rounds N] | trace COUNT\n"
                 "       (events, pipe and members are the roles of its peer processes)\n");
    return 2;
}
