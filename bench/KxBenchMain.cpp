// kxipc_bench: the benchmark coordinator and the peer roles it starts in other processes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "KxBenchBaselines.h"
#include "KxBenchLines.h"
#include "KxBenchRoles.h"

int main(int argc, char** argv) {
    const std::string role = argc > 1 ? argv[1] : "";
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    int code = 2;  // what every role returns for arguments it does not take
    try {
        if (role == "run") {
            code = KxRunBenchmarks(args);
        } else if (role == "trace") {
            code = KxRunTraceWorkload(args);
        } else if (role == "members") {
            code = KxRoleMembers(args);
        } else {
            code = KxRunBaselinePeer(role, args);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "kxipc_bench %s: %s\n", role.c_str(), failure.what());
        return 1;
    }
    if (code != 2) return code;
    std::fprintf(stderr,
                 "usage: kxipc_bench run JSON_PATH [--quick] [--rounds N] | trace COUNT\n"
                 "       (members and the baselines' roles are those of its peer processes)\n");
    return 2;
}
