// Child roles, unique names and the test main shared by every test executable.
#include "KxTestHarness.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <map>
#include <thread>

#include <gtest/gtest.h>

namespace {

std::map<std::string, KxChildRole>& Roles() {
    static std::map<std::string, KxChildRole> roles;
    return roles;
}

const char kChildFlag[] = "--kx-child=";

}  // namespace

KxChildRoleRegistrar::KxChildRoleRegistrar(const char* name, KxChildRole role) {
    Roles()[name] = role;
}

std::string KxUniqueName(const std::string& suffix) {
    std::string name = "kx_" + std::to_string(KxThisProcessId());
    if (const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info()) {
        name += std::string("_") + test->test_suite_name() + "_" + test->name();
    }
    return name + "_" + suffix;
}

bool KxWaitUntil(const std::function<bool()>& done, KxTimeout timeoutMs) {
    const unsigned long long deadline = KxNowMs() + timeoutMs;
    while (!done()) {
        if (KxNowMs() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

unsigned long long KxNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void KxSay(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool KxReadLine(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

int KxTestMain(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]).rfind(kChildFlag, 0) == 0) {
        const std::string role = argv[1] + sizeof(kChildFlag) - 1;
        auto found = Roles().find(role);
        if (found == Roles().end()) {
            std::fprintf(stderr, "unknown child role %s\n", role.c_str());
            return 125;
        }
        return found->second(std::vector<std::string>(argv + 2, argv + argc));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

std::unique_ptr<CKxChildProcess> CKxChildProcess::Role(const std::string& role,
                                                       const std::vector<std::string>& args) {
    std::vector<std::string> all{kChildFlag + role};
    all.insert(all.end(), args.begin(), args.end());
    return Program(KxProgramPath(), all);
}

std::unique_ptr<CKxChildProcess> CKxChildProcess::Program(const std::string& path,
                                                          const std::vector<std::string>& args,
                                                          Stdio stdio) {
    std::unique_ptr<CKxChildProcess> child(new CKxChildProcess());
    std::string error;
    if (!child->Start(path, args, stdio, &error)) {
        ADD_FAILURE() << "cannot start " << path << ": " << error;
    }
    return child;
}
