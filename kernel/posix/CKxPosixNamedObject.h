// A named kernel object on Linux: one file in /dev/shm per name, mapped whole, that lives exactly
// as long as some process holds it open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// What a named object holds; an object of one kind cannot be opened as another.
enum class KxPosixObjectKind : std::uint32_t { Mutex = 1, Event = 2, Segment = 3, LifeLock = 4 };

// Every file of the project in /dev/shm starts with this prefix (what KxPosixRemoveUnheldObjects
// looks for); a caller's name N becomes "kxipc.n." + N with '/', '%' and '~' escaped as %XX.
constexpr char kKxPosixObjectPrefix[] = "kxipc.";

// Cross-process contract:
// - Create or open is atomic: the creator builds the object under a private name, with its payload
//   initialised, then links it under the final name, so an opener never sees a half-built object,
//   and of two processes creating one name, one creates and the other opens.
// - Every holder keeps a shared flock on its descriptor for as long as it holds the object; the
//   kernel drops it when the process ends, however it ends. Whoever finds no other holder (the last
//   closer, or an opener finding an object that no live process holds) takes the lock exclusively
//   and unlinks the name, so a name no process holds starts afresh, as a Win32 object does. An
//   opener re-checks after locking that the name still leads to its file, which closes the race
//   with such an unlink.
// - Files are created mode 0600: processes of other users cannot open them (EACCES).
// One object is used by the threads of one process; nothing changes after construction.
class CKxPosixNamedObject {
public:
    // fileName: the file's name in /dev/shm (KxPosixObjectFileName, or a name of the kernel layer
    // with the prefix). payloadBytes: size of a new object's payload, which init (given the zeroed
    // payload) prepares before anyone can open it; an existing object keeps its payload and size.
    // *created: true exactly when this call created the object. Null on failure with *error set:
    // EEXIST when the name holds an object of another kind, EACCES for another user's object,
    // ENAMETOOLONG, EINVAL for a size of 0, or the failing call's errno.
    static std::unique_ptr<CKxPosixNamedObject> OpenOrCreate(
        const std::string& fileName, KxPosixObjectKind kind, std::size_t payloadBytes,
        void (*init)(void*, void*), void* initContext, bool* created, int* error);
    // Opens an existing object that some live process holds; never creates. Null with *error
    // ENOENT when there is none, or as OpenOrCreate.
    static std::unique_ptr<CKxPosixNamedObject> Open(const std::string& fileName,
                                                     KxPosixObjectKind kind, int* error);
    // Unmaps (but not while a thread of this process owns a mutex or life lock the object holds:
    // see the source); the last holder unlinks the name. Never throws.
    ~CKxPosixNamedObject();

    // Gives up this holder's share of the name now (the last holder unlinks it) and closes the
    // descriptor, keeping the mapping until destruction: a thread that ends this way has no
    // descriptor left open once the payload's lock is released. Once only.
    void CloseDescriptor();

    CKxPosixNamedObject(const CKxPosixNamedObject&) = delete;
    CKxPosixNamedObject& operator=(const CKxPosixNamedObject&) = delete;

    void* Payload() const { return m_payload; }
    // The payload bytes mapped: the creator's size rounded up so the file is whole pages.
    std::size_t PayloadBytes() const { return m_payloadBytes; }

private:
    // Maps the object open (and share-locked) as fd, which it then owns, and checks its kind.
    static std::unique_ptr<CKxPosixNamedObject> Map(const std::string& fileName, int fd,
                                                    KxPosixObjectKind kind, int* error);
    CKxPosixNamedObject(int fd, void* base, std::size_t mappedBytes);

    std::string m_fileName;
    KxPosixObjectKind m_kind = KxPosixObjectKind::Segment;
    int m_fd;
    void* m_base;
    std::size_t m_mappedBytes;
    void* m_payload;
    std::size_t m_payloadBytes;
};

// The /dev/shm file name of a caller's object name; "" when the name is empty or too long.
std::string KxPosixObjectFileName(const std::string& name);

// Removes every file of the project in /dev/shm that no live process holds (left by a crash of the
// machine's processes, or by a creator killed while building one). A private file of a creator
// whose process is still there is removed only with buildingToo: only safe when no creator can be
// at work, as for `kxipc clean`, since a creator takes its lock just after creating its private
// file. Gives how many it removed.
int KxPosixRemoveUnheldObjects(bool buildingToo = true);
