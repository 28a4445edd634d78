/* kxipc from plain C: greets the channel, prints what it hears, ends when a member leaves. */
/*
 *   greeter CHANNEL
 *
 * Joins CHANNEL, waits for company, sends everyone a synchronous greeting (code 1, parameter 42)
 * and prints who acknowledged it; then prints every event until a member leaves or dies, and
 * closes. Lines: "join ID 0|1", "id ID", "send ok" (or why not), "target ID OUTCOME",
 * "recv SENDER CODE PARAM", "quit ID", "closed".
 */
#include <stddef.h>
#include <stdint.h>

#include <kxipc/kxipc_c.h>

#ifdef _MSC_VER
/* Built with no C runtime headers or startup code (kxipc's MSVC-ABI test links it so): the few
   functions used are declared here, imported from msvcrt.dll and kernel32.dll. */
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) int __cdecl fflush(void* stream);
__declspec(dllimport) void __stdcall Sleep(uint32_t milliseconds);
__declspec(dllimport) void __stdcall ExitProcess(uint32_t code);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);
#elif defined(_WIN32)
#include <stdio.h>
#include <windows.h>
#else
#include <stdio.h>
#include <unistd.h>
#define Sleep(milliseconds) usleep((milliseconds) * 1000u)
#endif

/* The callbacks run on the participant's own waiting thread; the main thread reads this flag. */
static volatile int32_t someone_left = 0;

/* Prints one whole line and flushes it: one printf call, so the lines of two threads never mix. */
#define SAY(...) (printf(__VA_ARGS__), fflush(NULL))

/* The callbacks are KXIPC_CALL, the library's convention, whatever this program's default. */

static void KXIPC_CALL on_join(void* user, uint32_t id, int32_t joined_later) {
    (void)user;
    SAY("join %u %d\n", id, joined_later);
}

static void KXIPC_CALL on_quit(void* user, uint32_t id) {
    (void)user;
    SAY("quit %u\n", id);
    someone_left = 1;
}

static void KXIPC_CALL on_receive(void* user, uint32_t sender, uint32_t code, uint64_t param) {
    (void)user;
    SAY("recv %u %u %llu\n", sender, code, (unsigned long long)param);
}

static const char* outcome_name(uint32_t outcome) {
    switch (outcome) {
        case KXIPC_TARGET_ACKNOWLEDGED: return "acknowledged";
        case KXIPC_TARGET_DEPARTED: return "departed";
        case KXIPC_TARGET_PENDING: return "pending";
        case KXIPC_TARGET_ABSENT: return "absent";
        default: return "not-queued";
    }
}

int main(int argc, char** argv) {
    /* No on_sync_message: the greeting is printed by on_receive, once acknowledged. */
    const kxipc_callbacks callbacks = {on_join, on_quit, NULL, on_receive};
    kxipc_participant* me = NULL;
    kxipc_send_report report;
    kxipc_status status;
    uint32_t id = 0, members = 0, i;

    if (argc != 2) {
        SAY("usage: greeter CHANNEL\n");
        return 2;
    }
    if (kxipc_join(argv[1], &callbacks, NULL, &me) != KXIPC_OK) {
        SAY("join failed: %s\n", kxipc_last_error());
        return 1;
    }
    kxipc_id(me, &id);
    SAY("id %u\n", id);

    /* Wait for company, then greet every other member and wait for their acknowledgements. */
    while (kxipc_members(me, NULL, 0, &members) == KXIPC_OK && members == 0) Sleep(50);
    report.count = 0; /* filled for KXIPC_OK and KXIPC_REFUSED, not when the call itself fails */
    status = kxipc_send(me, NULL, 0, 1, 42, &report);
    if (status == KXIPC_OK) {
        SAY("send ok\n");
    } else {
        SAY("send %s: %s\n", status == KXIPC_REFUSED ? "refused" : "failed", kxipc_last_error());
    }
    for (i = 0; i < report.count; ++i) {
        SAY("target %u %s\n", report.targets[i], outcome_name(report.outcomes[i]));
    }

    while (!someone_left) Sleep(50);
    kxipc_close(me); /* leaves: no callback runs after it */
    SAY("closed\n");
    return 0;
}

#ifdef _MSC_VER
/* The process's entry point in place of the C runtime's: the channel is the rest of the command
   line after the program's name. */
void __cdecl mainCRTStartup(void) {
    char* line = GetCommandLineA();
    char* argv[3] = {line, NULL, NULL};
    int quoted = 0;
    for (; *line != '\0' && (quoted || *line != ' '); ++line) {
        if (*line == '"') quoted = !quoted;
    }
    if (*line != '\0') *line++ = '\0';
    while (*line == ' ') ++line;
    argv[1] = line;
    ExitProcess((uint32_t)main(*line != '\0' ? 2 : 1, argv));
}
#endif
