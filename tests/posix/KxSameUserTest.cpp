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
#include "CKxChannelWatch.h"
#include "CkxIPCParticipant.h"
#include "KxExceptions.h"
#include "KxSystemScope.h"

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

// Each check of the child, as its exit code: 0 when every one held.
enum ChildFailure { kJoined = 10, kJoinUnexplained, kWatched, kOpenedObject, kOwnChannelFailed };

int AsAnotherUser(const std::string& channel, const std::vector<std::string>& files) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0) {
        return 2;
    }
    try {
        CKxSilentParticipant intruder(channel.c_str());
        intruder.InitializeParticipant();
        return kJoined;
    } catch (const CKxBaseException&) {
        if (KxLastSystemErrorText().find("another user") == std::string::npos) {
            return kJoinUnexplained;
        }
    }
    CKxChannelWatch watch;
    std::vector<KxMemberChange> changes;
    std::string error;
    try {
        if (watch.Look(channel, &changes, &error)) return kWatched;
    } catch (const CKxBaseException&) {
    }
    for (const std::string& file : files) {
        const int fd = open(file.c_str(), O_RDONLY);
        if (fd >= 0 || errno != EACCES) return kOpenedObject;
    }
    // A fresh process of this user (the library loaded anew) joins a channel of its own.
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return kOwnChannelFailed;
    const std::string dir(self, std::string(self).rfind('/') + 1);
    const pid_t cli = fork();
    if (cli == 0) {
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        const std::string program = dir + "kxipc", own = channel + ".own";
        execl(program.c_str(), program.c_str(), "join", own.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    if (cli < 0 || waitpid(cli, &status, 0) != cli || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return kOwnChannelFailed;
    }
    return 0;
}

}  // namespace

TEST(KxSameUser, AnotherUserCanNeitherJoinNorWatchNorOpenTheChannel) {
    ASSERT_TRUE(CIPCServiceFactorySingleton::ConstructInstance());
    const std::string channel = "kxsameuser." + std::to_string(getpid());
    CKxSilentParticipant owner(channel.c_str());
    owner.InitializeParticipant();
    const std::vector<std::string> files = ObjectFiles(channel);
    ASSERT_GE(files.size(), 3u);  // the channel's mutex and its two segments at least

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(AsAnotherUser(channel, files));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    owner.UninitializeParticipant();
}
