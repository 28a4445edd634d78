// Named objects in /dev/shm: atomic create-or-open by link, holders counted by shared flocks.
#include "CKxPosixNamedObject.h"

#include "KxPosixWaitable.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <utility>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kShmDirectory[] = "/dev/shm/";
constexpr std::uint32_t kMagic = 0x5049584b;  // "KXIP"

// The first bytes of every object; the payload starts at kHeaderBytes.
struct Header {
    std::uint32_t magic;
    std::uint32_t kind;
};
constexpr std::size_t kHeaderBytes = 64;

std::string PathOf(const std::string& fileName) { return kShmDirectory + fileName; }

// One mapping per object and process, however often the process opens the object: a Win32 handle
// opened twice reaches one kernel object, and here two mappings of one page would be two
// addresses for one word, across which no tool (ThreadSanitizer) could see the order that the
// word's atomic accesses give. Keyed by the file's identity; an entry goes with its last user.
struct KxMapping {
    void* base;
    std::size_t bytes;
    unsigned users;
};
struct KxMappings {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, KxMapping> byFile;
};
// Made at first use and never destroyed: objects are opened from static constructors (the load
// constructor builds the pool) and closed from static destructors, in any order.
KxMappings& Mappings() {
    static KxMappings* const mappings = new KxMappings();
    return *mappings;
}

// The mapping of the file open as fd (of status), made when the process has none; null on failure.
void* UseMapping(int fd, const struct stat& status) {
    KxMappings& mappings = Mappings();
    std::lock_guard<std::mutex> hold(mappings.lock);
    const auto key = std::make_pair(status.st_dev, status.st_ino);
    const auto found = mappings.byFile.find(key);
    if (found != mappings.byFile.end()) {
        ++found->second.users;
        return found->second.base;
    }
    const std::size_t bytes = static_cast<std::size_t>(status.st_size);
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return nullptr;
    mappings.byFile.emplace(key, KxMapping{base, bytes, 1});
    return base;
}

// Gives one use of the mapping at base back; the last unmaps it unless keep(payload) holds then.
void DropMapping(void* base, bool (*keep)(void*), void* payload) {
    KxMappings& mappings = Mappings();
    std::lock_guard<std::mutex> hold(mappings.lock);
    for (auto entry = mappings.byFile.begin(); entry != mappings.byFile.end(); ++entry) {
        if (entry->second.base != base) continue;
        if (--entry->second.users == 0) {
            if (!keep(payload)) munmap(base, entry->second.bytes);
            mappings.byFile.erase(entry);
        }
        return;
    }
}

// True while fileName still names the file open as fd.
bool NameLeadsTo(const std::string& fileName, int fd) {
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && stat(PathOf(fileName).c_str(), &named) == 0 &&
           opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
}

// Unlinks fileName if this descriptor is its only holder (taking the exclusive lock proves that,
// and holding it keeps anyone else from unlinking or replacing the name meanwhile). The shared lock
// of fd, if any, is lost either way: fd is about to be closed.
bool UnlinkIfUnheld(const std::string& fileName, int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    return NameLeadsTo(fileName, fd) && unlink(PathOf(fileName).c_str()) == 0;
}

// Builds a new object under a private name and links it to fileName. The creator's shared lock is
// taken before the link, so the object is never visible unheld. Gives the descriptor, -1 with
// errno EEXIST when fileName exists already, or -1 with another errno.
int Create(const std::string& fileName, KxPosixObjectKind kind, std::size_t fileBytes,
           void (*init)(void*, void*), void* context) {
    static std::atomic<unsigned> sequence{0};
    std::string temporary;
    int fd = -1;
    while (fd < 0) {
        char suffix[48];
        std::snprintf(suffix, sizeof(suffix), "~.%d.%u", static_cast<int>(getpid()),
                      sequence.fetch_add(1));
        temporary = std::string(kKxPosixObjectPrefix) + suffix;
        fd = open(PathOf(temporary).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
        if (fd < 0 && errno != EEXIST) return -1;  // EEXIST: a killed creator's leftover
    }
    // From here on the private file is removed whatever happens; only the linked name stays.
    void* base = MAP_FAILED;
    bool ok =
        flock(fd, LOCK_SH) == 0 && ftruncate(fd, static_cast<off_t>(fileBytes)) == 0 &&
        (base = mmap(nullptr, fileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) != MAP_FAILED;
    if (ok) {
        auto* header = static_cast<Header*>(base);
        header->magic = kMagic;
        header->kind = static_cast<std::uint32_t>(kind);
        if (init) init(static_cast<char*>(base) + kHeaderBytes, context);
        munmap(base, fileBytes);
        ok = link(PathOf(temporary).c_str(), PathOf(fileName).c_str()) == 0;
    }
    const int saved = errno;
    unlink(PathOf(temporary).c_str());
    if (!ok) {
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Opens fileName as an object that some live process holds, with this process's shared lock
// taken. -1 with errno ENOENT when there is none (an unheld one is removed on the way).
int OpenHeld(const std::string& fileName) {
    const int fd = open(PathOf(fileName).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    // An object nobody holds is a dead process's leftover: it must not hand its state on.
    if (UnlinkIfUnheld(fileName, fd) || flock(fd, LOCK_SH) != 0 || !NameLeadsTo(fileName, fd)) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

}  // namespace

std::string KxPosixObjectFileName(const std::string& name) {
    std::string file = std::string(kKxPosixObjectPrefix) + "n.";
    for (const char c : name) {
        if (c == '/' || c == '%' || c == '~') {
            char escaped[4];
            std::snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
            file += escaped;
        } else {
            file += c;
        }
    }
    if (name.empty()) return std::string();
    if (file.size() > NAME_MAX) {
        // Windows takes names of up to 260 characters, a file name here 255 bytes: a longer one
        // keeps its start and ends in "~" and a hash of the whole name. A name's own "~" is
        // escaped, so a shortened file name never equals another name's full one.
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
        for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        char tail[18];
        std::snprintf(tail, sizeof(tail), "~%016llX", static_cast<unsigned long long>(hash));
        file.resize(NAME_MAX - (sizeof(tail) - 1));
        file += tail;
    }
    return file;
}

std::unique_ptr<CKxPosixNamedObject> CKxPosixNamedObject::OpenOrCreate(
    const std::string& fileName, KxPosixObjectKind kind, std::size_t payloadBytes,
    void (*init)(void*, void*), void* initContext, bool* created, int* error) {
    *created = false;
    if (fileName.empty() || fileName.size() > NAME_MAX) {
        *error = ENAMETOOLONG;
        return nullptr;
    }
    if (payloadBytes == 0) {
        *error = EINVAL;
        return nullptr;
    }
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t fileBytes = (kHeaderBytes + payloadBytes + page - 1) / page * page;
    int fd = -1;
    // Each round either opens a held object or creates one; it repeats only when another process
    // removed or created the name in between.
    while (fd < 0) {
        fd = OpenHeld(fileName);
        if (fd >= 0 || errno != ENOENT) break;
        fd = Create(fileName, kind, fileBytes, init, initContext);
        if (fd >= 0) *created = true;
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return Map(fileName, fd, kind, error);
}

std::unique_ptr<CKxPosixNamedObject> CKxPosixNamedObject::Open(const std::string& fileName,
                                                               KxPosixObjectKind kind, int* error) {
    const int fd = fileName.size() > NAME_MAX ? -1 : OpenHeld(fileName);
    if (fd < 0) {
        *error = fileName.size() > NAME_MAX ? ENAMETOOLONG : errno;
        return nullptr;
    }
    return Map(fileName, fd, kind, error);
}

std::unique_ptr<CKxPosixNamedObject> CKxPosixNamedObject::Map(const std::string& fileName, int fd,
                                                              KxPosixObjectKind kind, int* error) {
    struct stat status;
    void* base = nullptr;
    errno = 0;
    if (fstat(fd, &status) == 0 && static_cast<std::size_t>(status.st_size) > kHeaderBytes) {
        base = UseMapping(fd, status);
    }
    if (base == nullptr) {
        *error = errno ? errno : EINVAL;
        UnlinkIfUnheld(fileName, fd);
        close(fd);
        return nullptr;
    }
    std::unique_ptr<CKxPosixNamedObject> object(
        new CKxPosixNamedObject(fd, base, static_cast<std::size_t>(status.st_size)));
    object->m_fileName = fileName;
    object->m_kind = kind;
    const auto* header = static_cast<const Header*>(base);
    if (header->magic != kMagic || header->kind != static_cast<std::uint32_t>(kind)) {
        *error = EEXIST;
        return nullptr;  // the destructor closes; the other holder keeps the object
    }
    return object;
}

CKxPosixNamedObject::CKxPosixNamedObject(int fd, void* base, std::size_t mappedBytes)
    : m_fd(fd),
      m_base(base),
      m_mappedBytes(mappedBytes),
      m_payload(static_cast<char*>(base) + kHeaderBytes),
      m_payloadBytes(mappedBytes - kHeaderBytes) {}

namespace {
bool KeepWhileOwned(void* payload) {
    return KxPosixMutexOwnedInProcess(static_cast<pthread_mutex_t*>(payload));
}
bool KeepNever(void*) { return false; }
}  // namespace

CKxPosixNamedObject::~CKxPosixNamedObject() {
    // The kernel marks a robust mutex abandoned at its owner's end only if the owner's process
    // still maps it: while a thread of this process owns the object's mutex, the mapping stays
    // until the process ends, as a Win32 mutex stays owned when its handle is closed.
    const bool lockable =
        m_kind == KxPosixObjectKind::Mutex || m_kind == KxPosixObjectKind::LifeLock;
    DropMapping(m_base, lockable ? KeepWhileOwned : KeepNever, m_payload);
    CloseDescriptor();
}

void CKxPosixNamedObject::CloseDescriptor() {
    if (m_fd < 0) return;
    UnlinkIfUnheld(m_fileName, m_fd);
    close(m_fd);
    m_fd = -1;
}

namespace {

// Whether the creator named in a private file's name ("~.PID.SEQUENCE", see Create) may still be
// building it: true unless that process is gone.
bool CreatorMayBeAtWork(const char* privatePart) {
    int creator = 0;
    if (std::sscanf(privatePart, "~.%d.", &creator) != 1 || creator <= 0) return true;
    return kill(creator, 0) == 0 || errno != ESRCH;
}

}  // namespace

int KxPosixRemoveUnheldObjects(bool buildingToo) {
    DIR* directory = opendir(kShmDirectory);
    if (!directory) return 0;
    int removed = 0;
    const std::size_t prefixLength = std::strlen(kKxPosixObjectPrefix);
    while (const dirent* entry = readdir(directory)) {
        const std::string fileName = entry->d_name;
        if (fileName.compare(0, prefixLength, kKxPosixObjectPrefix) != 0) continue;
        if (!buildingToo && fileName.compare(prefixLength, 1, "~") == 0 &&
            CreatorMayBeAtWork(fileName.c_str() + prefixLength)) {
            continue;
        }
        const int fd = open(PathOf(fileName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (UnlinkIfUnheld(fileName, fd)) ++removed;
        close(fd);
    }
    closedir(directory);
    return removed;
}
