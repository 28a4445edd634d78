// libFuzzer target over the message ring and the participant list: arbitrary segment contents and
// arbitrary operation sequences, built natively on Linux with the address and undefined-behaviour
// sanitisers.
//
// The input is read as: one mode byte, optionally 400 + 51 raw words of segment contents, then
// operations until the input ends. Each structure is modelled while its contents are known (it
// was initialised and nothing poked it since); then every result is checked against the model.
// Once contents are unknown, the checks are the ones that hold for any contents: no access
// outside the elements (each structure lives in a heap block of exactly its size, so the address
// sanitiser sees a stray word), every walk ends (libFuzzer's time-out), an inconsistent ring
// refuses and writes nothing, an operation that succeeds on a consistent ring leaves it
// consistent, a walk never covers more than the ring, and what TakeAll reports matches the records
// it names (a received entry's record is still there, with that message).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "KxMessageRing.h"
#include "KxParticipantIdList.h"

namespace {

// A failed check aborts, which libFuzzer reports as a crash with the input that caused it.
#define KX_FUZZ_CHECK(condition)                                                                \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

constexpr std::uint32_t kRingElements = kKxQueueElements;
constexpr std::uint32_t kListElements = kKxIdArrayElements;

// What the ring holds when its contents are known.
struct ModelRecord {
    std::uint32_t position;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> states;
    KxRingMessage message;
    std::uint32_t Words() const {
        return CKxMessageRing::RecordWords(static_cast<std::uint32_t>(ids.size()));
    }
    bool Done() const {
        for (std::uint32_t state : states) {
            if (state != CKxMessageRing::kStateAcknowledged) return false;
        }
        return true;
    }
};

struct RingModel {
    bool known = false;
    std::uint32_t read = CKxMessageRing::kFirstRingElement;
    std::uint32_t write = CKxMessageRing::kFirstRingElement;
    std::deque<ModelRecord> records;

    std::uint32_t UsedWords() const {
        std::uint32_t used = 0;
        for (const ModelRecord& record : records) used += record.Words();
        return used;
    }
    static std::uint32_t Advance(std::uint32_t p, std::uint32_t k) {
        return CKxMessageRing::kFirstRingElement +
               (p - CKxMessageRing::kFirstRingElement + k) % kKxRingWords;
    }
    // The entry a Find for (id, from) changes, as record and entry index; false when none. With
    // only, in the record at that position alone.
    bool Entry(std::uint32_t id, std::uint32_t from, std::size_t* record, std::size_t* entry,
               std::uint32_t only = 0) {
        for (std::size_t r = 0; r < records.size(); ++r) {
            if (only != 0 && records[r].position != only) continue;
            for (std::size_t i = 0; i < records[r].ids.size(); ++i) {
                if (records[r].ids[i] == id && records[r].states[i] == from) {
                    *record = r;
                    *entry = i;
                    return true;
                }
            }
        }
        return false;
    }
    // The entries TakeAll(id, capacity) takes, in order, as (record, entry) pairs.
    std::vector<std::pair<std::size_t, std::size_t>> Pending(std::uint32_t id,
                                                             std::uint32_t capacity) const {
        std::vector<std::pair<std::size_t, std::size_t>> entries;
        for (std::size_t r = 0; r < records.size(); ++r) {
            for (std::size_t i = 0; i < records[r].ids.size() && entries.size() < capacity; ++i) {
                if (records[r].ids[i] == id &&
                    records[r].states[i] == CKxMessageRing::kStatePending) {
                    entries.emplace_back(r, i);
                }
            }
        }
        return entries;
    }
    void Sweep() {
        while (!records.empty() && records.front().Done()) {
            read = Advance(read, records.front().Words());
            records.pop_front();
        }
    }
};

bool SameMessage(const KxRingMessage& a, const KxRingMessage& b) {
    return a.senderId == b.senderId && a.messageCode == b.messageCode && a.param == b.param &&
           a.acknowledgeKey == b.acknowledgeKey;
}

// Marks entry i of the model's record r acknowledged, as the ring just did, and checks what the
// ring reported: only the acknowledgement that completes a keyed message reports its sender and
// key.
void CheckAcknowledged(RingModel* model, std::size_t r, std::size_t i, std::uint32_t sender,
                       std::uint64_t key) {
    ModelRecord& record = model->records[r];
    record.states[i] = CKxMessageRing::kStateAcknowledged;
    const bool reports = record.Done() && record.message.acknowledgeKey != 0;
    KX_FUZZ_CHECK(sender == (reports ? record.message.senderId : 0));
    KX_FUZZ_CHECK(key == (reports ? record.message.acknowledgeKey : 0));
    model->Sweep();
}

// Identifiers from a small alphabet most of the time, so that operations meet each other's
// entries; any value now and then.
std::uint32_t PickId(FuzzedDataProvider& input) {
    const std::uint8_t pick = input.ConsumeIntegral<std::uint8_t>();
    return pick < 240 ? 1 + pick % 6 : input.ConsumeIntegral<std::uint32_t>();
}

void CheckRingAgainstModel(const CKxMessageRing& ring, const RingModel& model) {
    KX_FUZZ_CHECK(ring.IsConsistent());
    KX_FUZZ_CHECK(ring.ReadPosition() == model.read);
    KX_FUZZ_CHECK(ring.WritePosition() == model.write);
    std::uint32_t freeWords = 0;
    KX_FUZZ_CHECK(ring.FreeWords(&freeWords));
    KX_FUZZ_CHECK(freeWords == CKxMessageRing::kMaxRecordWords - model.UsedWords());
    std::size_t index = 0;
    bool matches = true;
    KX_FUZZ_CHECK(ring.ForEachRecord([&](const KxRingRecord& record) {
        if (index >= model.records.size()) {
            matches = false;
            return;
        }
        const ModelRecord& expected = model.records[index++];
        matches = matches && record.position == expected.position &&
                  record.recipientCount == expected.ids.size() &&
                  SameMessage(record.message, expected.message);
        for (std::uint32_t i = 0; matches && i < record.recipientCount; ++i) {
            matches = record.recipients[i].id == expected.ids[i] &&
                      record.recipients[i].state == expected.states[i];
        }
    }));
    KX_FUZZ_CHECK(matches && index == model.records.size());
}

// Checks that hold whatever the contents, after a TakeAll that succeeded (the ring is then
// consistent): each taken entry names a record start with that message; a received one is still
// there with an entry of id in state received (its record cannot have been given back); an
// acknowledged one's record is either gone or still holds that message.
void CheckTaken(const CKxMessageRing& ring, std::uint32_t id, const KxRingTakenMessage* taken,
                std::uint32_t count) {
    for (std::uint32_t k = 0; k < count; ++k) {
        KX_FUZZ_CHECK(taken[k].position >= CKxMessageRing::kFirstRingElement &&
                      taken[k].position < kKxQueueElements);
        bool found = false, received = false, same = false;
        KX_FUZZ_CHECK(ring.ForEachRecord([&](const KxRingRecord& record) {
            if (record.position != taken[k].position) return;
            found = true;
            same = SameMessage(record.message, taken[k].message);
            for (std::uint32_t i = 0; i < record.recipientCount; ++i) {
                received =
                    received || (record.recipients[i].id == id &&
                                 record.recipients[i].state == CKxMessageRing::kStateReceived);
            }
        }));
        if (taken[k].message.acknowledgeKey != 0) KX_FUZZ_CHECK(found && received);
        if (found) KX_FUZZ_CHECK(same);
    }
}

void RingOperation(FuzzedDataProvider& input, CKxMessageRing& ring, std::uint32_t* elements,
                   RingModel& model, std::vector<std::uint32_t>& positions) {
    const bool consistentBefore = ring.IsConsistent();
    std::vector<std::uint32_t> before(elements, elements + kRingElements);
    bool succeeded = false;
    bool initialized = false;

    switch (input.ConsumeIntegralInRange<int>(0, 10)) {
        case 0: {  // Add
            // Counts beyond 195 and 0 now and then, to see them refused.
            const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
            std::uint32_t count = shape < 200 ? 1 + shape % 8
                                  : shape < 250
                                      ? input.ConsumeIntegralInRange<std::uint32_t>(1, 195)
                                      : input.ConsumeIntegralInRange<std::uint32_t>(0, 300);
            std::vector<std::uint32_t> ids(count == 0 ? 1 : count);
            for (std::uint32_t i = 0; i < count; ++i) ids[i] = PickId(input);
            KxRingMessage message;
            message.senderId = PickId(input);
            message.messageCode = input.ConsumeIntegral<std::uint32_t>();
            message.param = input.ConsumeIntegral<std::uint64_t>();
            message.acknowledgeKey =
                input.ConsumeBool() ? 0 : input.ConsumeIntegral<std::uint64_t>();
            succeeded = ring.Add(count, ids.data(), message);
            if (model.known) {
                const bool fits = count >= 1 && count <= kKxMaxRecipients &&
                                  CKxMessageRing::RecordWords(count) <=
                                      CKxMessageRing::kMaxRecordWords - model.UsedWords();
                KX_FUZZ_CHECK(succeeded == fits);
                if (succeeded) {
                    ModelRecord record;
                    record.position = model.write;
                    record.ids.assign(ids.begin(), ids.begin() + count);
                    record.states.assign(count, CKxMessageRing::kStatePending);
                    record.message = message;
                    model.write = RingModel::Advance(model.write, record.Words());
                    model.records.push_back(record);
                }
            }
            break;
        }
        case 1: {  // Take
            const std::uint32_t id = PickId(input);
            KxRingMessage message;
            succeeded = ring.Take(id, &message);
            if (model.known) {
                std::size_t r = 0, i = 0;
                const bool expected = model.Entry(id, CKxMessageRing::kStatePending, &r, &i);
                KX_FUZZ_CHECK(succeeded == expected);
                if (expected) {
                    model.records[r].states[i] = CKxMessageRing::kStateReceived;
                    KX_FUZZ_CHECK(SameMessage(message, model.records[r].message));
                }
            }
            break;
        }
        case 2: {  // Acknowledge
            const std::uint32_t id = PickId(input);
            std::uint32_t sender = 0xFFFFFFFF;
            std::uint64_t key = 0xFFFFFFFFFFFFFFFF;
            succeeded = ring.Acknowledge(id, &sender, &key);
            if (model.known) {
                std::size_t r = 0, i = 0;
                const bool expected = model.Entry(id, CKxMessageRing::kStateReceived, &r, &i);
                KX_FUZZ_CHECK(succeeded == expected);
                if (expected) CheckAcknowledged(&model, r, i, sender, key);
            }
            break;
        }
        case 3: {  // FindRecipient with any pair of states
            const std::uint32_t id = PickId(input);
            const std::uint32_t from = input.ConsumeIntegralInRange<std::uint32_t>(0, 4);
            const std::uint32_t to = input.ConsumeIntegralInRange<std::uint32_t>(0, 4);
            std::uint32_t position = 0;
            succeeded = ring.FindRecipient(id, from, to, &position);
            if (model.known) {
                std::size_t r = 0, i = 0;
                const bool expected = from <= 2 && to <= 2 && model.Entry(id, from, &r, &i);
                KX_FUZZ_CHECK(succeeded == expected);
                if (expected) {
                    KX_FUZZ_CHECK(position == model.records[r].position);
                    model.records[r].states[i] = to;
                }
            }
            // A Find may leave done records unswept, or make a done one pending again: the
            // model stays exact because it changes the same entry.
            break;
        }
        case 4: {  // IsMessageDone at any position
            const std::uint32_t position =
                input.ConsumeBool() ? input.ConsumeIntegral<std::uint32_t>()
                                    : input.ConsumeIntegralInRange<std::uint32_t>(0, 401);
            const bool done = ring.IsMessageDone(position);
            if (model.known) {
                bool expected = false;
                for (const ModelRecord& record : model.records) {
                    if (record.position == position) expected = record.Done();
                }
                KX_FUZZ_CHECK(done == expected);
            }
            break;
        }
        case 5: {  // Poke one word: contents no longer known
            const std::uint32_t element =
                input.ConsumeIntegralInRange<std::uint32_t>(0, kRingElements - 1);
            const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
            const std::uint32_t value = shape < 128 ? shape % 8
                                        : shape < 192
                                            ? input.ConsumeIntegralInRange<std::uint32_t>(0, 401)
                                            : input.ConsumeIntegral<std::uint32_t>();
            elements[element] = value;
            model.known = false;
            return;
        }
        case 6: {  // Read-only views
            std::uint32_t freeWords = 0;
            if (ring.FreeWords(&freeWords))
                KX_FUZZ_CHECK(freeWords <= CKxMessageRing::kMaxRecordWords);
            std::uint32_t visited = 0, words = 0;
            const bool walked = ring.ForEachRecord([&](const KxRingRecord& record) {
                ++visited;
                words += record.words;
                KX_FUZZ_CHECK(record.recipientCount >= 1 &&
                              record.recipientCount <= kKxMaxRecipients);
            });
            KX_FUZZ_CHECK(walked == consistentBefore);
            KX_FUZZ_CHECK(words <= CKxMessageRing::kMaxRecordWords);
            break;
        }
        case 7: {  // TakeAll, capacity 0 to beyond what a ring can hold
            const std::uint32_t id = PickId(input);
            const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
            const std::uint32_t capacity = shape < 240 ? shape % 8 : 200 + shape;
            // Exactly capacity entries (one when 0), so that a write past them is a report.
            std::vector<KxRingTakenMessage> taken(capacity == 0 ? 1 : capacity);
            std::uint32_t count = 0xFFFFFFFF;
            succeeded = ring.TakeAll(id, taken.data(), capacity, &count);
            KX_FUZZ_CHECK(succeeded ? count >= 1 && count <= capacity : count == 0);
            KX_FUZZ_CHECK(count <= CKxMessageRing::kMaxEntries);
            if (succeeded) CheckTaken(ring, id, taken.data(), count);
            for (std::uint32_t k = 0; k < count; ++k) positions.push_back(taken[k].position);
            if (model.known) {
                const auto expected = model.Pending(id, capacity);
                KX_FUZZ_CHECK(count == expected.size());
                for (std::uint32_t k = 0; k < count; ++k) {
                    ModelRecord& record = model.records[expected[k].first];
                    KX_FUZZ_CHECK(taken[k].position == record.position);
                    KX_FUZZ_CHECK(SameMessage(taken[k].message, record.message));
                    record.states[expected[k].second] = record.message.acknowledgeKey == 0
                                                            ? CKxMessageRing::kStateAcknowledged
                                                            : CKxMessageRing::kStateReceived;
                }
                if (succeeded) model.Sweep();
            }
            break;
        }
        case 8: {  // AcknowledgeAt a position TakeAll gave, or any other
            const std::uint32_t id = PickId(input);
            const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
            const std::uint32_t position =
                shape < 192 && !positions.empty() ? positions[shape % positions.size()]
                : shape < 240 ? input.ConsumeIntegralInRange<std::uint32_t>(0, 401)
                              : input.ConsumeIntegral<std::uint32_t>();
            std::uint32_t sender = 0xFFFFFFFF;
            std::uint64_t key = 0xFFFFFFFFFFFFFFFF;
            succeeded = ring.AcknowledgeAt(id, position, &sender, &key);
            KX_FUZZ_CHECK(!succeeded || key != 0 || sender == 0);  // only a keyed message reports
            if (model.known) {
                std::size_t r = 0, i = 0;
                const bool expected =
                    position != 0 &&
                    model.Entry(id, CKxMessageRing::kStateReceived, &r, &i, position);
                KX_FUZZ_CHECK(succeeded == expected);
                if (expected) CheckAcknowledged(&model, r, i, sender, key);
            }
            break;
        }
        case 9: {  // The give-back of an acknowledgement whose writer died
            std::uint32_t sender = 0xFFFFFFFF;
            std::uint64_t key = 0xFFFFFFFFFFFFFFFF;
            succeeded = ring.SweepAbandonedAcknowledgement(&sender, &key);
            KX_FUZZ_CHECK(succeeded == consistentBefore);
            if (model.known) {
                const bool reports = !model.records.empty() && model.records.front().Done() &&
                                     model.records.front().message.acknowledgeKey != 0;
                KX_FUZZ_CHECK(sender == (reports ? model.records.front().message.senderId : 0));
                KX_FUZZ_CHECK(key == (reports ? model.records.front().message.acknowledgeKey : 0));
                model.Sweep();
            }
            break;
        }
        default:  // Make an empty ring again
            ring.Initialize();
            initialized = true;
            model = RingModel();
            model.known = true;
            break;
    }

    if (!consistentBefore && !initialized) {
        // Refusal of an inconsistent ring, whatever the operation, with nothing written.
        KX_FUZZ_CHECK(!succeeded);
        KX_FUZZ_CHECK(std::memcmp(before.data(), elements, sizeof(std::uint32_t) * kRingElements) ==
                      0);
    } else if (succeeded) {
        KX_FUZZ_CHECK(ring.IsConsistent());
    }
    if (model.known) CheckRingAgainstModel(ring, model);
}

void ListOperation(FuzzedDataProvider& input, CKxParticipantIdList& list, std::uint32_t* elements,
                   std::vector<std::uint32_t>& model, bool& known) {
    const bool validBefore = list.IsValid();
    std::vector<std::uint32_t> before(elements, elements + kListElements);
    bool changed = false;
    bool initialized = false;
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: {
            const std::uint32_t id = PickId(input);
            changed = list.Add(id);
            if (known) {
                bool present = false;
                for (std::uint32_t member : model) present = present || member == id;
                KX_FUZZ_CHECK(changed == (!present && model.size() < 50));
                if (changed) model.push_back(id);
            }
            break;
        }
        case 1: {
            const std::uint32_t id = PickId(input);
            changed = list.Remove(id);
            if (known) {
                bool present = false;
                for (std::size_t i = 0; i < model.size(); ++i) {
                    if (model[i] == id) {
                        model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
                        present = true;
                        break;
                    }
                }
                KX_FUZZ_CHECK(changed == present);
            }
            break;
        }
        case 2: {
            const std::uint32_t id = PickId(input);
            std::uint32_t position = 0xFFFFFFFF;
            const bool found = list.Find(id, &position);
            KX_FUZZ_CHECK(!found || (position < list.Count() && list.At(position) == id));
            KX_FUZZ_CHECK(list.At(input.ConsumeIntegral<std::uint32_t>()) == 0 || validBefore);
            break;
        }
        case 3: {
            const std::uint32_t element =
                input.ConsumeIntegralInRange<std::uint32_t>(0, kListElements - 1);
            elements[element] =
                input.ConsumeBool() ? PickId(input) : input.ConsumeIntegral<std::uint32_t>();
            known = false;
            return;
        }
        default:
            list.Initialize();
            initialized = true;
            model.clear();
            known = true;
            break;
    }
    if (!validBefore && !initialized) {
        // An invalid list reads as empty and refuses every change.
        KX_FUZZ_CHECK(!changed);
        KX_FUZZ_CHECK(list.Count() == 0);
        KX_FUZZ_CHECK(std::memcmp(before.data(), elements, sizeof(std::uint32_t) * kListElements) ==
                      0);
    }
    KX_FUZZ_CHECK(list.Count() <= kKxMaxParticipants);
    if (known) {
        KX_FUZZ_CHECK(list.Count() == model.size());
        for (std::uint32_t i = 0; i < model.size(); ++i) KX_FUZZ_CHECK(list.At(i) == model[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // Exactly sized heap blocks: one word past either end is a sanitiser report.
    std::unique_ptr<std::uint32_t[]> ringElements(new std::uint32_t[kRingElements]);
    std::unique_ptr<std::uint32_t[]> listElements(new std::uint32_t[kListElements]);
    CKxMessageRing ring(ringElements.get());
    CKxParticipantIdList list(listElements.get());
    RingModel ringModel;
    std::vector<std::uint32_t> listModel;
    bool listKnown = false;
    std::vector<std::uint32_t> takenPositions;  // what TakeAll gave, for AcknowledgeAt

    if (input.ConsumeBool()) {
        // Arbitrary contents, as another process may have left them.
        for (std::uint32_t i = 0; i < kRingElements; ++i) {
            ringElements[i] = input.ConsumeIntegral<std::uint32_t>();
        }
        for (std::uint32_t i = 0; i < kListElements; ++i) {
            listElements[i] = input.ConsumeIntegral<std::uint32_t>();
        }
    } else {
        ring.Initialize();
        ringModel.known = true;
        list.Initialize();
        listKnown = true;
    }
    while (input.remaining_bytes() > 0) {
        if (input.ConsumeIntegralInRange<int>(0, 3) != 0) {
            RingOperation(input, ring, ringElements.get(), ringModel, takenPositions);
        } else {
            ListOperation(input, list, listElements.get(), listModel, listKnown);
        }
    }
    return 0;
}
