#!/usr/bin/env bash
# The consumer's path, end to end: installs the build tree into a scratch prefix, checks the
# installed layout and package version rules, configures and builds each example against the
# prefix with find_package(kxipc) and the same toolchain, and runs the examples under Wine with
# scripted input, checking what they print. Run by CTest on the build host (not under Wine).
#
# Options (all required): --source= --build= --cmake= --toolchain= --build-type= --emulator=
# --version=   (the emulator runs one Windows program in the build tree's Wine prefix)
set -euo pipefail

for arg in "$@"; do  # --build-type=X sets build_type, and so on
    name=${arg%%=*}
    [[ $name =~ ^--(source|build|cmake|toolchain|build-type|emulator|version)$ ]] ||
        { echo "unknown option $arg" >&2; exit 2; }
    declare "${BASH_REMATCH[1]//-/_}=${arg#*=}"
done

work="$build/package-test"
prefix="$work/prefix"
limit=60  # seconds any single expected line may take (Wine on a loaded machine is slow)

failures=0
fail() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}
die() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}

declare -A pid=() in_fd=() out_fd=()
cleanup() {
    for name in "${!pid[@]}"; do kill -9 "${pid[$name]}" 2>/dev/null || true; done
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"

echo "== install into $prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || die "cmake --install failed"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
# The public header and exactly the headers it includes (the examples' builds below fail on a
# missing one); the DLL, its import libraries (MinGW's and kxipc.lib for MSVC-ABI linkers), the CLI
# and the package files. Nothing of the tests (GoogleTest) and no internal header may leak in.
expected=$(sort <<LIST
bin/kxipc.dll
bin/kxipc.exe
include/kxipc/CKxIPCEventWaiter.h
include/kxipc/CkxIPCParticipant.h
include/kxipc/KxExceptions.h
include/kxipc/KxExport.h
include/kxipc/kxipc.h
include/kxipc/kxipc_c.h
lib/cmake/kxipc/kxipcConfig.cmake
lib/cmake/kxipc/kxipcConfigVersion.cmake
lib/cmake/kxipc/kxipcTargets.cmake
lib/kxipc.lib
lib/libkxipc.dll.a
LIST
)
actual_main=$(grep -v '^lib/cmake/kxipc/kxipcTargets-' <<<"$actual" || true)
[ "$actual_main" = "$expected" ] || fail "installed files differ:$(diff <(echo "$expected") <(echo "$actual_main") || true)"
grep -q '^lib/cmake/kxipc/kxipcTargets-.*\.cmake$' <<<"$actual" || fail "no per-configuration targets file"

echo "== one version: package version file, kxipc --version, README, CHANGELOG"
# The package version file decides which find_package(kxipc X.Y) requests it satisfies.
cat >"$work/check-version.cmake" <<'SCRIPT'
string(REPLACE "." ";" fields "${PACKAGE_FIND_VERSION}")
list(GET fields 0 PACKAGE_FIND_VERSION_MAJOR)
list(GET fields 1 PACKAGE_FIND_VERSION_MINOR)
set(PACKAGE_FIND_VERSION_COUNT 2)
include(${FILE})
message("${PACKAGE_VERSION} ${PACKAGE_VERSION_COMPATIBLE}")
SCRIPT
check_version() {  # REQUESTED COMPATIBLE(TRUE|FALSE)
    local result
    result=$("$cmake" -DPACKAGE_FIND_VERSION="$1" \
        -DFILE="$prefix/lib/cmake/kxipc/kxipcConfigVersion.cmake" -P "$work/check-version.cmake" 2>&1) ||
        fail "package version file: $result"
    [ "$result" = "$version $2" ] || fail "package version file: request $1 gave '$result', expected '$version $2'"
}
IFS=. read -r major minor _ <<<"$version"
for request in "$major.0 TRUE" "$major.$minor TRUE" "$((major + 1)).0 FALSE" \
    "$major.$((minor + 1)) FALSE" "$((major > 0 ? major - 1 : major + 2)).9 FALSE"; do
    check_version $request
done
cli_version=$("$emulator" "$prefix/bin/kxipc.exe" --version | tr -d '\r') || fail "kxipc --version failed"
[ "$cli_version" = "kxipc $version" ] || fail "installed kxipc --version says '$cli_version'"
grep -q "kxipc $version" "$source/README.md" || fail "README does not name version $version"
grep -q "^## \[$version\]" "$source/CHANGELOG.md" || fail "CHANGELOG has no $version entry"

for example in chat request_reply c; do
    echo "== build examples/$example against the installed package"
    "$cmake" -S "$source/examples/$example" -B "$work/$example" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$build_type" \
        -Dkxipc_DIR="$prefix/lib/cmake/kxipc" >"$work/$example.configure.log" 2>&1 ||
        { cat "$work/$example.configure.log"; die "configuring $example failed"; }
    "$cmake" --build "$work/$example" >"$work/$example.build.log" 2>&1 ||
        { cat "$work/$example.build.log"; die "building $example failed"; }
done

# start NAME PROGRAM ARGS...: runs a Windows program under the emulator with stdin and stdout on
# fifos; the emulator execs Wine, so $! is the Wine process of the program itself.
start() {
    local name=$1 program=$2 fd
    shift 2
    mkfifo "$work/$name.in" "$work/$name.out"
    # The child must not inherit the shell's ends of the other programs' fifos: holding another
    # program's input open would keep that program from ever seeing the end of its input.
    (
        for fd in "${in_fd[@]}" "${out_fd[@]}"; do eval "exec $fd>&-"; done
        exec "$emulator" "$program" "$@" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err"
    ) &
    pid[$name]=$!
    exec {fd}>"$work/$name.in"
    in_fd[$name]=$fd
    exec {fd}<"$work/$name.out"
    out_fd[$name]=$fd
    printf '   %s$ %s %s\n' "$name" "$(basename "$program")" "$*"
}
tell() {  # NAME LINE
    printf '   %s< %s\n' "$1" "$2"
    printf '%s\n' "$2" >&"${in_fd[$1]}"
}
# expect NAME REGEX: reads NAME's lines until one matches ^REGEX$ (left in $line, groups in
# BASH_REMATCH); other lines are shown and skipped.
expect() {
    local name=$1 pattern=$2 deadline=$((SECONDS + limit))
    while [ $SECONDS -lt $deadline ]; do
        if IFS= read -r -t 5 line <&"${out_fd[$name]}"; then
            line=${line%$'\r'}
            printf '   %s> %s\n' "$name" "$line"
            [[ $line =~ ^$pattern$ ]] && return 0
        fi
    done
    die "$name: no line matching '$pattern' within ${limit}s (stderr: $(cat "$work/$name.err"))"
}
# finish NAME: ends NAME's input and checks that it exits, with status 0, within the limit.
finish() {
    local name=$1 status=0 deadline=$((SECONDS + limit))
    eval "exec ${in_fd[$name]}>&-"
    while kill -0 "${pid[$name]}" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
    kill -0 "${pid[$name]}" 2>/dev/null && die "$name did not end within ${limit}s of the end of its input"
    wait "${pid[$name]}" || status=$?
    unset "pid[$name]"
    [ $status -eq 0 ] || fail "$name exited with status $status"
}

channel="kxpkg_chat_$$"
echo "== chat: two members on $channel"
start a "$work/chat/chat.exe" "$channel"
expect a '\* you are ([0-9]+) on '"$channel"
a_id=${BASH_REMATCH[1]}
tell a "anyone?"
expect a '\* nobody else is here'
start b "$work/chat/chat.exe" "$channel"
expect b "\\* $a_id is here"
expect b '\* you are ([0-9]+) on '"$channel"
b_id=${BASH_REMATCH[1]}
expect a "\\* $b_id joined"
long="hello from b: a line of several eight-byte pieces, in order"
tell b "$long"
expect a "$b_id: $long"
tell a "hi b"
expect b "$a_id: hi b"
finish b
expect a "\\* $b_id left"
finish a

channel="kxpkg_total_$$"
echo "== request/reply: total_server and total_client on $channel"
start server "$work/request_reply/total_server.exe" "$channel"
expect server 'server ([0-9]+) ready on '"$channel"
server_id=${BASH_REMATCH[1]}
start client "$work/request_reply/total_client.exe" "$channel"
expect client "\\* server is $server_id"
tell client 5
expect client 'total 5'
tell client 37
expect client 'total 42'
expect server "add 37 from [0-9]+ -> 42"
tell client "x"
expect client 'not a number: x'
finish server
expect client '\* server left'
tell client 1
expect client 'no server'
finish client

# greet NAME PROGRAM: examples/c's greeter, built as PROGRAM, beside two kxipc peers on a channel
# of its own: it is told of both, each acknowledges its synchronous greeting, it receives a post,
# and it sees the quit of a peer that is killed.
greet() {
    local name=$1 program=$2 channel="kxpkg_greet_$1_$$" one two self
    echo "== greeter ($name) beside two kxipc peers on $channel"
    start "$name-one" "$prefix/bin/kxipc.exe" join "$channel"
    expect "$name-one" 'id ([0-9]+)'
    one=${BASH_REMATCH[1]}
    start "$name-two" "$prefix/bin/kxipc.exe" join "$channel"
    expect "$name-two" 'id ([0-9]+)'
    two=${BASH_REMATCH[1]}
    start "$name" "$program" "$channel"
    expect "$name" "join $one 0"
    expect "$name" "join $two 0"
    expect "$name" 'id ([0-9]+)'
    self=${BASH_REMATCH[1]}
    expect "$name" 'send ok'
    expect "$name" "target $one acknowledged"
    expect "$name" "target $two acknowledged"
    expect "$name-one" "sync $self 1 42"
    expect "$name-two" "sync $self 1 42"
    tell "$name-one" 'post * 8 16'
    expect "$name" "recv $one 8 16"
    kill -9 "${pid[$name-two]}"
    wait "${pid[$name-two]}" 2>/dev/null || true
    unset "pid[$name-two]"
    expect "$name" "quit $two"
    expect "$name" 'closed'
    finish "$name"
    expect "$name-one" "quit $self"
    finish "$name-one"
}
greet mingw "$work/c/greeter.exe"

echo "== examples/c for the MSVC ABI: clang-cl and lld-link with lib/kxipc.lib, no MinGW file"
msvc="$work/c-msvc"
mkdir -p "$msvc"
# The greeter names its few runtime and kernel functions itself; their import libraries:
printf 'LIBRARY msvcrt.dll\nEXPORTS\n    printf\n    fflush\n' >"$msvc/msvcrt.def"
printf 'LIBRARY kernel32.dll\nEXPORTS\n    Sleep\n    ExitProcess\n    GetCommandLineA\n' \
    >"$msvc/kernel32.def"
for dll in msvcrt kernel32; do
    llvm-dlltool-14 -m i386:x86-64 -d "$msvc/$dll.def" -l "$msvc/$dll.lib" ||
        die "llvm-dlltool $dll failed"
done
cp "$prefix/bin/kxipc.dll" "$msvc/"
# Twice: with the compiler's default convention, and with /Gv (vectorcall by default), which links
# and runs only because the header names the convention of each function and callback.
for variant in msvc msvc-gv; do
    convention=()
    [ "$variant" = msvc-gv ] && convention=(/Gv)
    clang-cl-14 --target=x86_64-pc-windows-msvc /nologo /W4 /WX /GS- /Zl /X /showIncludes \
        "${convention[@]}" /c -I"$prefix/include" /Fo"$msvc/$variant.obj" -- \
        "$source/examples/c/greeter.c" >"$msvc/$variant.compile.log" 2>&1 ||
        { cat "$msvc/$variant.compile.log"; die "clang-cl ${convention[*]} failed"; }
    # Every header read is clang's own or an installed kxipc one.
    foreign=$(sed -n 's/^Note: including file: *//p' "$msvc/$variant.compile.log" |
        grep -v -e "^$(clang-14 -print-resource-dir)/include/" -e "^$prefix/include/kxipc/" || true)
    [ -z "$foreign" ] || fail "the MSVC-ABI build read other headers: $foreign"
    lld-link-14 /nologo /subsystem:console /entry:mainCRTStartup /nodefaultlib \
        /out:"$msvc/$variant.exe" "$msvc/$variant.obj" "$prefix/lib/kxipc.lib" \
        "$msvc/msvcrt.lib" "$msvc/kernel32.lib" || die "lld-link ${convention[*]} failed"
    greet "$variant" "$msvc/$variant.exe"
done

[ $failures -eq 0 ] || die "$failures check(s) failed"
echo "PASS: installed package, examples built and run"
