// kxipc_soak_worker: one worker process of the random-kill soak (see KxSoakProtocol.h).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CKxSoakWorker.h"

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: kxipc_soak_worker <channel> <worker> <seed> <participants> "
                     "<warm-up ms> <post burst> <log>\n");
        return 2;
    }
    CKxSoakWorker worker(argv[1], static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)),
                         static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                         static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)),
                         static_cast<KxTimeout>(std::strtoul(argv[5], nullptr, 10)),
                         static_cast<unsigned>(std::strtoul(argv[6], nullptr, 10)), argv[7]);
    return worker.Run();
}
