#!/usr/bin/env bash
# Mutation pass: puts one plausible fault at a time into the library, builds, runs the suite and
# tells which tests caught it. Usage: tools/mutate.sh <build tree> [ID ...]
#   The tree is a Windows one (build/mingw, its suite under Wine) or a native one (build/linux).
#   IDs: fault ids (M1 ...) and BASE, a run with no fault (tests that fail there are not caught
#   faults but flaky or broken tests). No IDs: BASE, then every fault.
#   KX_MUTATE_JOBS   parallel CTest jobs (default 4, as `./kx test`)
#   KX_MUTATE_CAP    minutes after which a run starts no further test (default 15): a fault that
#                    makes every test wait out its time-out would otherwise take hours
#   KX_MUTATE_TESTS  a CTest -R pattern: runs only those tests (a quick check of faults whose
#                    catchers are known; what the rest of the suite catches goes unseen)
#   KX_MUTATE_CHECK=1 only checks that the selected faults still apply, and builds nothing
# Every fault is a text replacement that must match exactly once in the current sources, so a fault
# the code has moved away from is reported instead of silently testing nothing. The sources are
# restored after each fault and on every exit, interrupts included; a restored file gets a new
# modification time so the next build recompiles it. The table goes to stdout and to
# build/mutation-table.txt; each run's build and test output to build/mutation-logs/ID.log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 1 ] || { sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
build=$(cd "$1" && pwd)
shift

# One command at a time in a build tree, the same lock `./kx` takes: a build or a suite beside this
# one would rewrite the binaries under it or end its Wine processes.
if [ -z "${KX_TREE_LOCKED:-}" ]; then
    exec env KX_TREE_LOCKED=1 flock -o "$build/.kx-lock" "$0" "$build" "$@"
fi

jobs=${KX_MUTATE_JOBS:-4}
cap=${KX_MUTATE_CAP:-15}
wineserver=/usr/lib/wine/wineserver
table="$root/build/mutation-table.txt"
logs="$root/build/mutation-logs"

# --- The faults: id, file, where, what, then the exact text and its replacement. -----------------
ids=()
declare -A file=() where=() what=() old=() new=()
fault() { ids+=("$1"); file[$1]=$2; where[$1]=$3; what[$1]=$4; old[$1]=$5; new[$1]=$6; }

fault M1 shared/KxMessageRing.h "CKxMessageRing::Advance" \
    "hand-rolled wrap off by one: after element 399 comes 3" \
    '        return kFirstRingElement + (p - kFirstRingElement + k) % kKxRingWords;' \
    '        return p + k < kKxQueueElements ? p + k : p + k - kKxRingWords + 1;'
fault M2 shared/KxMessageRing.cpp "CKxMessageRing::AcknowledgeFirst" \
    "an acknowledgement that completes a record gives no room back" \
    $'acknowledgement.\n    GiveBack(run);\n' \
    $'acknowledgement.\n'
fault M3 shared/KxMessageRing.cpp "CKxMessageRing::Add" \
    "the acknowledge key's halves written in the other order" \
    $'    Store(Advance(write, KeyLowWord(count)), static_cast<std::uint32_t>(message.acknowledgeKey));\n    Store(Advance(write, KeyHighWord(count)),' \
    $'    Store(Advance(write, KeyHighWord(count)), static_cast<std::uint32_t>(message.acknowledgeKey));\n    Store(Advance(write, KeyLowWord(count)),'
fault M4 shared/KxMessageRing.cpp "TakenState (TakeAll)" \
    "TakeAll leaves a posted entry received (wrong no-key sentinel)" \
    '    return message.acknowledgeKey == 0 ? CKxMessageRing::kStateAcknowledged' \
    '    return message.acknowledgeKey == ~0ull ? CKxMessageRing::kStateAcknowledged'
fault M5 shared/KxParticipantIdList.cpp "CKxParticipantIdList::Remove" \
    "successors not moved down, only the count lowered" \
    $'    for (std::uint32_t i = position + 1; i < count; ++i) Store(i, Load(i + 1));\n' \
    ''
fault M6 channel/CIPCCommunicationChannel.cpp "CIPCCommunicationChannel::RemoveParticipant" \
    "the departed member's drain acknowledges without ReleaseSender" \
    $'        while (AcknowledgeAndRelease(id)) {\n        }\n        KX_KILL_POINT("channel.remove-participant.half-way");\n        CkxIPCMessage message;\n        while (m_queue->GetMessage(id, &message)) AcknowledgeAndRelease(id);' \
    $'        std::uint32_t sender = 0;\n        std::uint64_t key = 0;\n        while (m_queue->AcknowledgeMessage(id, &sender, &key)) {\n        }\n        KX_KILL_POINT("channel.remove-participant.half-way");\n        CkxIPCMessage message;\n        while (m_queue->GetMessage(id, &message)) m_queue->AcknowledgeMessage(id, &sender, &key);'
fault M7 channel/CIPCCommunicationChannel.cpp "CIPCCommunicationChannel::Lock" \
    "an abandoned mutex counts as free: given back, Lock returns false" \
    $'    if (!KxWaitTakingAbandoned(m_mutex, kKxWaitForever, &abandoned)) return false;\n' \
    $'    if (!KxWaitTakingAbandoned(m_mutex, kKxWaitForever, &abandoned)) return false;\n    if (abandoned) {\n        KxReleaseIgnoringErrors(m_mutex);\n        return false;\n    }\n'
fault M8 channel/CIPCCommunicationChannel.cpp "CIPCCommunicationChannel::AddParticipant" \
    "no join notice queued for the members present" \
    '    return AddMessage(present, recipients, &notice);' \
    '    return true;'
fault M9 channel/CKxIPCAcknowledgeEventPoolManager.cpp "CKxIPCAcknowledgeEventPoolManager::ReleaseElement" \
    "an element given back is forgotten (never lent again, never freed)" \
    $'        m_freeElements.push_back(element);\n' \
    ''
fault M10 channel/CKxIPCAcknowledgeEventPoolElement.cpp "CKxIPCAcknowledgeEventPoolElement::NoteWaitEndedUnsignalled" \
    "no effect: a retired element is lent again" \
    'NoteWaitEndedUnsignalled() { m_retired = true; }' \
    'NoteWaitEndedUnsignalled() {}'
fault M11 channel/CKxIPCAcknowledgeEventPoolManager.cpp "CKxIPCAcknowledgeEventPoolManager::CloseEventsOfEndedProcesses" \
    "the prune closes the events of live processes too" \
    '        const bool ended = owner != self && KxProcessHasEnded(owner);' \
    '        const bool ended = owner != self;'
fault M12 participant/CKxParticipantRun.cpp "CKxParticipantRun::Announce" \
    "OnJoin(id, false) for a member that joined later" \
    'm_handlers->OnJoin(id, !Contains(m_presentIds, m_presentCount, id));' \
    'm_handlers->OnJoin(id, false);'
fault M13 participant/CKxParticipantRun.cpp "CKxParticipantRun::Announce" \
    "an announced member that is gone gets no OnQuit" \
    '            if (gone != end) {' \
    '            if (gone != end && id != 0) {'
fault M14 shared/KxChannelLayout.h "kKxPartyWaitMs" \
    "every wait on another party 2 500 ms instead of 25 000 ms" \
    'constexpr KxTimeout kKxPartyWaitMs = 25000;' \
    'constexpr KxTimeout kKxPartyWaitMs = 2500;'
fault M15 participant/CKxParticipantRun.cpp "CKxParticipantRun::Receive" \
    "every synchronous message of a batch acknowledges the batch's first entry" \
    '                    m_channel->AcknowledgeMessageAt(Id(), taken[i].position, &releaseKey);' \
    '                    m_channel->AcknowledgeMessageAt(Id(), taken[0].position, &releaseKey);'
fault M16 participant/CkxIPCParticipant.cpp "CkxIPCParticipant::StopWaitingThread" \
    "returns after one slice, before the last handler call (dropped !)" \
    '        while (!ended && !run->HasEndedServing()) ended = run->Wait(kKxStopSliceMs);' \
    '        while (!ended && run->HasEndedServing()) ended = run->Wait(kKxStopSliceMs);'
fault M17 kernel/CKxAutoLock.cpp "CKxAutoLock::CKxAutoLock" \
    "with an abandoned flag, an abandoned mutex is released at once" \
    $'        KxWaitTakingAbandoned(m_object, kKxWaitForever, abandoned);\n        return;' \
    $'        KxWaitTakingAbandoned(m_object, kKxWaitForever, abandoned);\n        if (*abandoned) KxReleaseIgnoringErrors(m_object);\n        return;'
fault M18 kernel/win32/KxWaitFunctions.cpp "WaitForAny" \
    "reports the signalled index one too high" \
    'static_cast<int>(result - WAIT_OBJECT_0);' \
    'static_cast<int>(result - WAIT_OBJECT_0 + 1);'
fault M19 kernel/win32/CKxSharedMemory.cpp "CKxSharedMemory::CKxSharedMemory" \
    "reports created=false for a new segment" \
    $'            *created = true;\n' \
    ''
fault M20 kernel/win32/CKxEvent.cpp "CKxEvent::CKxEvent(name, manualReset)" \
    "the named constructor makes an unnamed event (inverted empty-name test)" \
    'FALSE /*bInitialState*/, name.c_str()));' \
    'FALSE /*bInitialState*/, !name.empty() ? nullptr : name.c_str()));'
# Beyond the list: risks it does not name.
fault M21 channel/CIPCCommunicationChannel.cpp "CIPCCommunicationChannel::AddMessage" \
    "the first recipient's receive event is not set" \
    '    for (std::uint32_t i = 0; i < count; ++i) records[i]->GetReceiveEvent()->Set();' \
    '    for (std::uint32_t i = 1; i < count; ++i) records[i]->GetReceiveEvent()->Set();'
fault M22 participant/CKxParticipantRun.cpp "CKxParticipantRun::Receive" \
    "a stop does not finish the drain: messages behind the batch are dropped" \
    '    while (count == CKxMessageRing::kMaxRecords || (StopRequested() && !tookAfterStop)) {' \
    '    while (count == CKxMessageRing::kMaxRecords) {'
fault M23 shared/KxParticipantIdList.cpp "CKxParticipantIdList::Count" \
    "a hostile count of 51 is trusted (bound off by one)" \
    '    return count <= kKxMaxParticipants ? count : 0;' \
    '    return count <= kKxIdArrayElements ? count : 0;'
fault M24 participant/CkxIPCParticipant.cpp "AcceptsCode" \
    "the largest application code is refused" \
    '    if (messageCode <= kKxLargestApplicationCode) return true;' \
    '    if (messageCode < kKxLargestApplicationCode) return true;'
fault M25 channel/CKxIPCAcknowledgeEventPoolManager.cpp "CKxIPCAcknowledgeEventPoolManager::MakeElement" \
    "a new element keeps a signal left by an earlier process of the same id" \
    $'    element->GetEvent()->Wait(0);\n' \
    ''

fault M26 shared/TKxInterProcessArray.h "TKxInterProcessArray::TKxInterProcessArray" \
    "a queue segment mutex abandoned by a dead holder stops the join" \
    'm_segment = new CKxSharedMemory(size, kKxQueuePrefix + name, &created, &abandoned);' \
    'm_segment = new CKxSharedMemory(size, kKxQueuePrefix + name, &created);'
fault M27 channel/CIPCCommunicationChannel.cpp "CIPCCommunicationChannel::Lock" \
    "only the first taker of an abandoned mutex repairs (an observer eats the repair)" \
    '    if (m_lockCount == 1 && m_queue != nullptr) {' \
    '    if (abandoned && m_queue != nullptr) {'
fault M28 channel/CKxIPCAcknowledgeEventPoolManager.cpp "CKxIPCAcknowledgeEventPoolManager::CloseLeastRecentKeyOfFullProcess" \
    "no bound per live process: every retired key stays open while its process lives" \
    '    if (kept < kKeptKeysPerProcess) return;' \
    '    return;'
fault M29 channel/CKxIPCAcknowledgeEventPoolManager.cpp "CKxIPCAcknowledgeEventPoolManager::CloseLeastRecentKeyOfFullProcess" \
    "the most recently used key is closed instead of the least" \
    'if (entry->second.lastUse < oldest->second.lastUse) oldest = entry;' \
    'if (entry->second.lastUse > oldest->second.lastUse) oldest = entry;'
# The C interface, its handle table, and the channel readers of the CLI.
fault M30 participant/CKxCHandleTable.cpp "CKxCHandleTable::Lookup" \
    "no generation check: a closed handle names whoever took its slot" \
    '    return entry.participant && entry.generation == generation ? &entry : nullptr;' \
    '    return entry.participant ? &entry : nullptr;'
fault M31 participant/KxCInterface.cpp "kxipc_post" \
    "a refused post's reason guessed afterwards from the participant's state" \
    '        return Refuse("kxipc_post", report.refusal);' \
    '        return Refuse("kxipc_post", open->IsJoined() ? KXIPC_REFUSED_NO_ROOM : KXIPC_REFUSED_NOT_RUNNING);'
fault M32 participant/KxCInterface.cpp "Guarded" \
    "a success leaves the text that a callback's failed call set meanwhile" \
    $'        if (status == KXIPC_OK) t_lastError[0] = \'\\0\';\n' \
    ''
fault M33 participant/CKxChannelWatch.cpp "CKxChannelWatch::Look" \
    "a member whose thread ended is not quit while the list still holds it" \
    '        if (!stillListed || (member.thread && member.thread->Wait(0))) Quit(i, changes);' \
    '        if (!stillListed) Quit(i, changes);'
fault M34 participant/CKxChannelSnapshot.cpp "CKxChannelSnapshot::ParticipantIds" \
    "the member list read one word early, from the segment's header word" \
    '    const CKxParticipantIdList list(const_cast<std::uint32_t*>(m_ids + 1));' \
    '    const CKxParticipantIdList list(const_cast<std::uint32_t*>(m_ids));'
# Handlers that re-enter: a run's thread, its announcements, and stops made from handlers.
fault M35 participant/CKxParticipantRun.cpp "CKxParticipantRun::WaitDispatching" \
    "a wait made on a waiting thread does not dispatch that thread's run" \
    '    if (run && run->m_accepting) return run->Dispatch(objects, count, timeoutMs);' \
    '    if (run && !run->m_accepting) return run->Dispatch(objects, count, timeoutMs);'
fault M36 participant/CkxIPCParticipant.cpp "CkxIPCParticipant::StopWaitingThread" \
    "a stop made on a waiting thread waits for the stopped participant's handlers" \
    '    if (run->RequestStop() && !CKxParticipantRun::Current()) {' \
    '    if (run->RequestStop() && !run->IsOwnThread()) {'
fault M37 participant/CKxParticipantRun.cpp "CKxParticipantRun::DispatchWake" \
    "a member's end takes no waiting messages: a sender killed before its wakes strands them" \
    $'        ReleaseAnsweredSends();\n        // A sender' \
    $'        ReleaseAnsweredSends();\n        return;\n        // A sender'
fault M38 participant/CKxParticipantRun.cpp "CKxParticipantRun::DispatchWake" \
    "a member's end releases no send: a recipient killed before setting its sender's event strands it" \
    $'        ReleaseAnsweredSends();\n' \
    $'\n'
# The Linux kernel layer (a native tree: tools/mutate.sh build/linux M39 ...).
fault M39 kernel/posix/KxPosixWaitable.cpp "TakeOne" \
    "an auto-reset event is taken without being reset: every waiter wins it" \
    '            return CompareExchange(object.word, 1, 0) ? Take::Taken : Take::Busy;' \
    '            return Load(object.word) ? Take::Taken : Take::Busy;'
fault M40 kernel/posix/KxPosixWaitable.cpp "KxPosixSetEvent" \
    "setting an event wakes one sleeper, not all" \
    '        Wake(&event->signalled, INT_MAX);' \
    '        Wake(&event->signalled, 1);'
fault M41 kernel/posix/KxPosixWaitable.cpp "Signalled" \
    "a sleeper on a mutex or a thread's end does not mark the word, so the release wakes nobody" \
    '        *expected = value | FUTEX_WAITERS;' \
    $'        *expected = value;\n        return false;'
fault M42 kernel/posix/KxPosixWaitable.cpp "PassWakesOn" \
    "a woken watcher of an ended thread does not wake the others (the kernel wakes one; from Linux 6.9 on the descriptor helper wakes them too, so only older kernels can catch it)" \
    $'            KxPosixWakeAllWaiters(object.word);\n' \
    ''
fault M43 kernel/posix/KxPosixWaitable.cpp "TakeOne" \
    "a mutex whose owner died is reported taken, not abandoned" \
    '    return result == 0 ? Take::Taken : Take::Abandoned;' \
    '    return Take::Taken;'
fault M44 kernel/posix/KxPosixWaitable.cpp "Deadline" \
    "a time-out's milliseconds below a second count as microseconds" \
    '(timeoutMs % 1000) * 1000000LL' \
    '(timeoutMs % 1000) * 1000LL'
fault M45 kernel/posix/KxPosixWaitable.cpp "ForgetThreadIdAfterFork" \
    "a forked child keeps its parent thread's identifier" \
    'void ForgetThreadIdAfterFork() { t_threadId = 0; }' \
    'void ForgetThreadIdAfterFork() {}'
fault M46 kernel/posix/CKxPosixNamedObject.cpp "CKxPosixNamedObject::CloseDescriptor" \
    "the last closer of an object leaves its file in /dev/shm" \
    $'    UnlinkIfUnheld(m_fileName, m_fd);\n    close(m_fd);' \
    '    close(m_fd);'
fault M47 kernel/posix/CKxPosixNamedObject.cpp "OpenHeld" \
    "an object no process holds (a dead process's leftover) is opened with its old state" \
    'if (UnlinkIfUnheld(fileName, fd) || flock(fd, LOCK_SH) != 0' \
    'if (flock(fd, LOCK_SH) != 0'
fault M48 kernel/posix/CKxPosixNamedObject.cpp "CKxPosixNamedObject::Map" \
    "a name held by an object of another kind opens as the kind asked for" \
    'if (header->magic != kMagic || header->kind != static_cast<std::uint32_t>(kind)) {' \
    'if (header->magic != kMagic) {'
fault M49 kernel/posix/CKxPosixNamedObject.cpp "KxPosixObjectFileName" \
    "a '/' in a name is not escaped" \
    "if (c == '/' || c == '%' || c == '~') {" \
    "if (c == '%' || c == '~') {"
fault M50 kernel/posix/CKxPosixNamedObject.cpp "KxPosixObjectFileName" \
    "a shortened file name is one byte too long" \
    '        file.resize(NAME_MAX - (sizeof(tail) - 1));' \
    '        file.resize(NAME_MAX - (sizeof(tail) - 1) + 1);'
fault M51 kernel/posix/CKxPosixLifeLock.cpp "CKxPosixLifeLock::~CKxPosixLifeLock" \
    "a thread ends (unlocks its life lock) before it closes its descriptor of it" \
    $'    m_object->CloseDescriptor();\n    pthread_mutex_unlock(m_waitable.mutex);' \
    $'    pthread_mutex_unlock(m_waitable.mutex);\n    m_object->CloseDescriptor();'
fault M52 kernel/posix/KxLiveness.cpp "KxThreadHasEnded" \
    "a thread without a life lock counts as alive" \
    '    return error == ENOENT;' \
    '    return false;'
fault M53 kernel/posix/CKxPosixNamedObject.cpp "KeepWhileOwned" \
    "a mutex's mapping goes with its last handle while a thread of the process owns it" \
    '    return KxPosixMutexOwnedInProcess(static_cast<pthread_mutex_t*>(payload));' \
    '    return payload == nullptr;'
fault M54 kernel/posix/CKxThread.cpp "CKxThread::Create" \
    "a thread start removes no unheld objects" \
    '    KxPosixRemoveUnheldObjects(false /*buildingToo*/);' \
    ''
fault M55 kernel/posix/CKxPosixLifeLock.cpp "CKxPosixLifeLock::Watch" \
    "a watch leaves the thread's end to the kernel's one wake-up (no thread descriptor polled)" \
    '    CKxPosixThreadEndWaker::Watch(threadId, watch->m_waitable.word);' \
    ''
fault M56 kernel/posix/CKxPosixThreadEndWaker.cpp "Run" \
    "the helper takes an ended thread off its poll without waking its waiters" \
    '            KxPosixWakeAllWaiters(found->second.word);' \
    ''
fault M57 kernel/posix/KxPosixWaitable.cpp "WaitRounds" \
    "a wait sleeping on a mutex never looks again (a wake-up lost in a kill is lost for good)" \
    '            m_mutex = m_mutex || objects[i]->kind == KxPosixWaitKind::Mutex;' \
    '            m_mutex = false;'

# --- Applying and restoring. ---------------------------------------------------------------------
backup=$(mktemp -d)
mutated=""  # the file that holds a fault now, relative to root
child=0

restore() {
    [ -n "$mutated" ] || return 0
    cat "$backup/original" >"$root/$mutated"
    touch "$root/$mutated"  # newer than the mutant's objects
    mutated=""
}
# A native tree (no wine-run.sh) runs its tests without Wine.
wine_tree=0
[ -f "$build/wine-run.sh" ] && wine_tree=1
stop_wine() {
    [ "$wine_tree" = 1 ] || return 0
    WINEPREFIX="$build/wineprefix" "$wineserver" -k 2>/dev/null || true
}
on_exit() {
    if [ "$child" -ne 0 ]; then kill -- "-$child" 2>/dev/null || kill "$child" 2>/dev/null || true; fi
    restore
    stop_wine
    rm -rf "$backup"
}
trap on_exit EXIT
trap 'exit 130' INT TERM HUP

# Replaces old by new in file when old occurs exactly once; with check=1 only counts.
replace() {  # id check
    OLD=${old[$1]} NEW=${new[$1]} CHECK=$2 python3 - "$root/${file[$1]}" <<'EOF'
import os, sys
path = sys.argv[1]
old, new = os.environ["OLD"].encode(), os.environ["NEW"].encode()
with open(path, "rb") as f:
    text = f.read()
found = text.count(old)
if found != 1:
    print(f"matches {found} times, not once", file=sys.stderr)
    sys.exit(3)
if os.environ["CHECK"] != "1":
    with open(path, "wb") as f:
        f.write(text.replace(old, new))
EOF
}

# Runs a command in its own process group so that an interrupt can end all of it.
run_child() {
    set -m
    "$@" &
    child=$!
    set +m
    local status=0
    wait "$child" || status=$?
    child=0
    return "$status"
}

# --- Selection and a check that every selected fault still applies. --------------------------------
selected=("$@")
if [ ${#selected[@]} -eq 0 ]; then
    # Every fault the tree compiles: the other platform's kernel sources are not built here.
    other=kernel/posix/
    [ "$wine_tree" = 1 ] || other=kernel/win32/
    selected=(BASE)
    for id in "${ids[@]}"; do
        [[ ${file[$id]} == "$other"* ]] || selected+=("$id")
    done
fi
stale=()
for id in "${selected[@]}"; do
    [ "$id" = BASE ] && continue
    [ -n "${file[$id]:-}" ] || { echo "mutate: unknown fault $id" >&2; exit 2; }
    replace "$id" 1 2>/dev/null || stale+=("$id")
done

if [ "${KX_MUTATE_CHECK:-}" = 1 ]; then
    [ ${#stale[@]} -eq 0 ] || { echo "mutate: not applicable: ${stale[*]}" >&2; exit 1; }
    echo "mutate: all selected faults apply"
    exit 0
fi

targets=(kxipc kxipc_cli $(cmake --build "$build" --target help | grep -oE '\bkxipc_[a-z_]+_tests\b' | sort -u))
mkdir -p "$logs"
header=$(printf '%-5s %-64s %-70s %s' ID WHERE WHAT "CAUGHT BY")
printf '%s\n' "$header" | tee "$table"
row() { printf '%-5s %-64s %-70s %s\n' "$1" "$2" "$3" "$4" | tee -a "$table"; }

for id in "${selected[@]}"; do
    if [ "$id" = BASE ]; then
        place="-"; change="no fault: tests failing here are flaky or broken"
    else
        place="${file[$id]} ${where[$id]}"; change=${what[$id]}
    fi
    if [[ " ${stale[*]} " == *" $id "* ]]; then
        row "$id" "$place" "$change" "NOT APPLIED: the text to replace is not found exactly once"
        continue
    fi
    log="$logs/$id.log"
    : >"$log"
    if [ "$id" != BASE ]; then
        cp "$root/${file[$id]}" "$backup/original"
        mutated=${file[$id]}
        replace "$id" 0
    fi

    result=""
    if ! run_child cmake --build "$build" -j2 --target "${targets[@]}" >>"$log" 2>&1; then
        result="BUILD FAILED"
    elif grep -q 'warning:' "$log"; then
        result="(compiler warns) "
    fi
    if [ "$result" != "BUILD FAILED" ]; then
        if [ "$wine_tree" = 1 ]; then
            export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
            "$wineserver" -p 2>/dev/null || true
            /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null || true
        fi
        start=$(date +%s)
        run_child ctest --test-dir "$build" -LE soak ${KX_MUTATE_TESTS:+-R "$KX_MUTATE_TESTS"} \
            -j"$jobs" --timeout 300 --output-on-failure \
            --stop-time "$(date -d "+$cap min" +%H:%M:%S)" >>"$log" 2>&1 || true
        elapsed=$(( $(date +%s) - start ))
        stop_wine
        # "  12 - Suite.Case (Failed)" under "The following tests FAILED:".
        caught=$(sed -n '/The following tests FAILED:/,$p' "$log" |
            sed -nE 's/^[[:space:]]*[0-9]+ - (.+) \(([^)]*)\)[[:space:]]*$/\1|\2/p' |
            awk -F'|' '{ print ($2 == "Failed" ? $1 : $1 " (" tolower($2) ")") }' |
            paste -sd, - | sed 's/,/, /g')
        result+=${caught:-NOTHING}
        [ "$elapsed" -lt $((cap * 60)) ] || result+=" [cut at the ${cap}-minute cap]"
        result+=" {$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1), ${elapsed}s}"
    fi
    restore
    row "$id" "$place" "$change" "$result"
done

# The binaries last built hold the last fault: build the restored sources again.
run_child cmake --build "$build" -j2 --target "${targets[@]}" >"$logs/restored-build.log" 2>&1 ||
    echo "mutate: the build of the restored sources failed, see $logs/restored-build.log" >&2
echo "table: $table"
