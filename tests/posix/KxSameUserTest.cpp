// A channel's objects belong to the user who made them (mode 0600): a process of another user can
// neither join the channel, nor watch it, nor open any of its objects, and is told why; and the
// library's own process-wide objects never lock that user out of channels of its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "CIPCServiceFactorySingleton.h"
#include "CkxIPCParticipant.h"
#include "KxChildProcess.h"
#include "KxTestHarness.h"

namespace {

class CKxSilentParticipant : public CkxIPCParticipant {
public:
    using CkxIPCParticipant::CkxIPCParticipant;
    void OnJoin(unsigned int, bool) override {}
    void OnQuit(unsigned int) override {}
    void OnSyncMessage(unsigned int, unsigned int, unsigned long long) override {}
    void OnReceive(unsigned int, unsigned int, unsigned long long) override {}
};

// The /dev/shm files whose names contain text.
std::vector<std::string> ObjectFiles(const std::string& text) {
    std::vector<std::string> files;
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("kxipc.", 0) == 0 && name.find(text) != std::string::npos) {
                files.push_back("/dev/shm/" + name);
            }
        }
        closedir(dir);
    }
    return files;
}

// Opens each file as user nobody, in a child that starts no thread (a forked copy of a
// multi-threaded process may not): 0 when every open was refused for want of permission.
int OpenedAsAnotherUser(const std::vector<std::string>& files) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        for (const std::string& file : files) {
            const int fd = open(file.c_str(), O_RDONLY);
            if (fd >= 0 || errno != EACCES) _exit(1);
        }
        _exit(0);
    }
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs `kxipc ARGS` as user nobody, a fresh process that loads the library anew; its exit code and
// its output (stderr included) in *output.
KxExitCode CliAsAnotherUser(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                    KxProgramDir() + "kxipc"};
    all.insert(all.end(), args.begin(), args.end());
    CKxLaunchedChild cli;
    std::string error;
    EXPECT_TRUE(
        cli.Start("/usr/bin/setpriv", all, CKxLaunchedChild::Stdio::kPipedWithErrors, &error))
        << error;
    cli.CloseInput();
    EXPECT_TRUE(cli.WaitForExit(kKxDeadlineMs));
    *output = cli.Output();
    return cli.ExitCode();
}

}  // namespace

TEST(KxSameUser, AnotherUserCanNeitherJoinNorWatchNorOpenTheChannel) {
    ASSERT_TRUE(CIPCServiceFactorySingleton::ConstructInstance());
    const std::string channel = "kxsameuser." + std::to_string(getpid());
    CKxSilentParticipant owner(channel.c_str());
    owner.InitializeParticipant();
    const std::vector<std::string> files = ObjectFiles(channel);
    ASSERT_GE(files.size(), 3u);  // the channel's mutex and its two segments at least
    EXPECT_EQ(0, OpenedAsAnotherUser(files));

    std::string output;
    EXPECT_NE(0u, CliAsAnotherUser({"join", channel}, &output));
    EXPECT_NE(std::string::npos, output.find("belongs to another user")) << output;
    EXPECT_NE(0u, CliAsAnotherUser({"watch", channel}, &output));
    EXPECT_NE(std::string::npos, output.find("belongs to another user")) << output;
    // The library's own machine-wide objects lock no other user out of its own channels.
    EXPECT_EQ(0u, CliAsAnotherUser({"join", channel + ".own"}, &output)) << output;
    owner.UninitializeParticipant();
}
