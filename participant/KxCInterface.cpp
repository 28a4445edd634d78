// kxipc_c.h's functions: argument checks, handle look-ups, and every failure turned into a status.
#include <cstdio>
#include <memory>
#include <new>

#include "CKxCHandleTable.h"
#include "CKxCParticipant.h"
#include "CKxParticipantRun.h"
#include "KxExceptions.h"
#include "KxRefusals.h"
#include "kxipc_c.h"

static_assert(sizeof(kxipc_send_report) == 8 + 2 * 4 * KXIPC_MAX_TARGETS,
              "other languages declare the report as two 32-bit words and two arrays");
static_assert(sizeof(kxipc_callbacks) == 4 * sizeof(void*),
              "other languages declare the callbacks as four function pointers");

namespace {

// The calling thread's last failure text. A fixed buffer: setting it never allocates, and it
// needs no destructor at thread end.
const std::size_t kErrorBytes = 256;
thread_local char t_lastError[kErrorBytes];

kxipc_status Fail(kxipc_status status, const char* text) {
    std::snprintf(t_lastError, kErrorBytes, "%s", text);
    return status;
}

// Runs one function of the interface: turns whatever the library throws into a status with the
// exception's own text, and leaves the thread's text empty after a success. Nothing escapes into
// the caller's code, which may not be C++ at all.
template <class Body>
kxipc_status Guarded(Body body) noexcept {
    t_lastError[0] = '\0';
    try {
        const kxipc_status status = body();
        // Cleared again at the end: callbacks dispatched inside a synchronous send run on this
        // thread, and their own failed calls have set the text meanwhile.
        if (status == KXIPC_OK) t_lastError[0] = '\0';
        return status;
    } catch (const CKxChannelFullException& failure) {
        return Fail(KXIPC_E_CHANNEL_FULL, failure.GetErrorMessage().c_str());
    } catch (const CKxBaseException& failure) {
        return Fail(KXIPC_E_KERNEL, failure.GetErrorMessage().c_str());
    } catch (const std::bad_alloc&) {
        return Fail(KXIPC_E_MEMORY, "kxipc -> out of memory");
    } catch (...) {
        return Fail(KXIPC_E_KERNEL, "kxipc -> unexpected failure inside the library");
    }
}

kxipc_status NotOpen() {
    return Fail(KXIPC_E_HANDLE, "kxipc -> the handle names no open participant of this process");
}

// The open participant a handle names, or null with KXIPC_E_HANDLE and its text set. One being
// closed on another thread counts as closed already.
std::shared_ptr<CKxCParticipant> Open(const kxipc_participant* handle, kxipc_status* status) {
    std::shared_ptr<CKxCParticipant> participant = CKxCHandleTable::Instance().Find(handle);
    if (!participant || participant->IsClosed()) {
        participant.reset();
        *status = NotOpen();
    }
    return participant;
}

// Leave, rejoin and close on the participant's own waiting thread would wait for that thread.
kxipc_status RefuseOnOwnThread(const char* function) {
    char text[kErrorBytes];
    std::snprintf(text, sizeof(text), "%s -> not possible inside the participant's own callback",
                  function);
    return Fail(KXIPC_E_STATE, text);
}

// "FUNCTION -> refused: WHY", WHY from the reason the report names.
kxipc_status Refuse(const char* function, std::uint32_t refusal) {
    char text[kErrorBytes];
    const KxRefusal* reason = KxFindRefusal(refusal);
    std::snprintf(text, sizeof(text), "%s -> refused%s%s", function, reason ? ": " : "",
                  reason ? reason->text : "");
    return Fail(KXIPC_REFUSED, text);
}

// The checks kxipc_send and kxipc_post share; KXIPC_OK when the message may be handed on.
kxipc_status CheckTargets(const char* function, const uint32_t* targets, uint32_t count) {
    if (targets && count > KXIPC_MAX_TARGETS) {
        char text[kErrorBytes];
        std::snprintf(text, sizeof(text), "%s -> more than %d targets", function,
                      KXIPC_MAX_TARGETS);
        return Fail(KXIPC_E_ARGUMENT, text);
    }
    return KXIPC_OK;
}

}  // namespace

extern "C" {

kxipc_status KXIPC_CALL kxipc_join(const char* channel, const kxipc_callbacks* callbacks,
                                   void* user, kxipc_participant** participant) {
    return Guarded([&]() -> kxipc_status {
        if (participant) *participant = nullptr;
        if (!channel || channel[0] == '\0' || !participant) {
            return Fail(KXIPC_E_ARGUMENT,
                        "kxipc_join -> channel and participant are required, and the channel "
                        "name must not be empty");
        }
        // No callbacks: every event ignored, as with null function pointers.
        const kxipc_callbacks none = {};
        // Destroyed on every failure below, leaving a joined channel first.
        std::shared_ptr<CKxCParticipant> joined =
            std::make_shared<CKxCParticipant>(channel, callbacks ? *callbacks : none, user);
        joined->Join();
        *participant = CKxCHandleTable::Instance().Add(std::move(joined));
        return KXIPC_OK;
    });
}

kxipc_status KXIPC_CALL kxipc_id(kxipc_participant* participant, uint32_t* id) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        if (!id) return Fail(KXIPC_E_ARGUMENT, "kxipc_id -> id is null");
        *id = open->GetParticipantID();
        return KXIPC_OK;
    });
}

kxipc_status KXIPC_CALL kxipc_members(kxipc_participant* participant, uint32_t* ids,
                                      uint32_t capacity, uint32_t* count) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        if (!count || (!ids && capacity != 0)) {
            return Fail(KXIPC_E_ARGUMENT,
                        "kxipc_members -> count is null, or ids is null with room");
        }
        *count = open->GetMembers(ids, capacity);
        return KXIPC_OK;
    });
}

kxipc_status KXIPC_CALL kxipc_send(kxipc_participant* participant, const uint32_t* targets,
                                   uint32_t count, uint32_t code, uint64_t param,
                                   kxipc_send_report* report) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        status = CheckTargets("kxipc_send", targets, count);
        if (status != KXIPC_OK) return status;
        // The refusal's reason is wanted for the text also when the caller wants no report.
        kxipc_send_report own;
        if (!report) report = &own;
        if (open->SendIPMessage(targets ? count : 0, targets, code, param, report)) return KXIPC_OK;
        return Refuse("kxipc_send", report->refusal);
    });
}

kxipc_status KXIPC_CALL kxipc_post(kxipc_participant* participant, const uint32_t* targets,
                                   uint32_t count, uint32_t code, uint64_t param) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        status = CheckTargets("kxipc_post", targets, count);
        if (status != KXIPC_OK) return status;
        // The reason is taken where the refusal arose: guessed afterwards, it would miss a leave
        // under way on another thread.
        kxipc_send_report report;
        if (open->PostIPMessage(targets ? count : 0, targets, code, param, &report))
            return KXIPC_OK;
        return Refuse("kxipc_post", report.refusal);
    });
}

kxipc_status KXIPC_CALL kxipc_leave(kxipc_participant* participant) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        if (open->IsDispatchingHere()) return RefuseOnOwnThread("kxipc_leave");
        if (open->Leave()) return KXIPC_OK;
        if (open->IsClosed()) return NotOpen();  // closed on another thread meanwhile
        return Fail(KXIPC_E_STATE, "kxipc_leave -> the participant is not joined");
    });
}

kxipc_status KXIPC_CALL kxipc_rejoin(kxipc_participant* participant) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        if (open->IsDispatchingHere()) return RefuseOnOwnThread("kxipc_rejoin");
        if (open->Rejoin()) return KXIPC_OK;
        if (open->IsClosed()) return NotOpen();
        return Fail(KXIPC_E_STATE, "kxipc_rejoin -> the participant is joined already");
    });
}

kxipc_status KXIPC_CALL kxipc_close(kxipc_participant* participant) {
    return Guarded([&]() -> kxipc_status {
        kxipc_status status = KXIPC_OK;
        std::shared_ptr<CKxCParticipant> open = Open(participant, &status);
        if (!open) return status;
        if (open->IsDispatchingHere()) return RefuseOnOwnThread("kxipc_close");
        // A close waits until the participant's callbacks are over; in a callback, that wait could
        // be for a callback that waits for this one.
        if (CKxParticipantRun::Current()) {
            return Fail(KXIPC_E_STATE, "kxipc_close -> not possible inside a callback");
        }
        // Left and closed first: a failure to leave keeps the handle open for another try.
        if (!open->Close()) return NotOpen();
        CKxCHandleTable::Instance().Remove(participant);
        // The participant is destroyed here, or by the last call still under way on it; no
        // callback runs any more, since it has left.
        return KXIPC_OK;
    });
}

const char* KXIPC_CALL kxipc_last_error(void) { return t_lastError; }

const char* KXIPC_CALL kxipc_version(void) { return KXIPC_VERSION; }

}  // extern "C"
