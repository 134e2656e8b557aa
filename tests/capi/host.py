#!/usr/bin/env python3
"""The C entry points from a host's point of view: every answer of the C
host, the exported surface, and a host built outside the build tree against
the installed header, pkg-config file and CMake package.

usage: host.py HOST LIBSIEVELINK SHOTSIEVE MAKE_LIBRARY BUILD_DIR SANITIZED [TSAN]
"""
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import check, environment, finish, listing_problem, new_home, validate  # noqa: E402

host, lib, shotsieve, make_library, build_dir = (os.path.realpath(a) for a in sys.argv[1:6])
sanitized = sys.argv[6] == "ON"
home = new_home("shotsieve-host-")
env = environment(home)
# ThreadSanitizer's runtime starts threads of its own now and then: there the
# threads are counted and told, not held against the library.
if len(sys.argv) > 7 and sys.argv[7] == "ON":
    env["HOST_THREADS_TOLD_ONLY"] = "1"
pictures, answers = os.path.join(home, "Pictures"), os.path.join(home, "answers")
exports, shared = os.path.join(home, "exports"), os.path.join(home, "shared")
subprocess.run([make_library, "library", pictures, "120", "40", "20"], check=True)
os.mkdir(answers)
check("the host reports no failure", subprocess.run([host, lib, exports, shared, answers], env=env).returncode == 0)

parsed = {}
for name in os.listdir(answers):
    with open(os.path.join(answers, name), encoding="utf-8") as f:
        parsed[name[:-5]] = json.loads(f.read())
    problems = validate("auth-status" if name.startswith(("auth", "request")) else "list-result", parsed[name[:-5]])
    check(f"{name} matches its schema", not problems, problems)
cli = subprocess.run([shotsieve, "auth-status"], env=env, capture_output=True).stdout
check("pk_auth_status is the auth-status line", parsed["auth"] == json.loads(cli), (parsed["auth"], cli))
full = parsed["network-2"]
check("a full listing", len(full) > 5 and all(not e["ismissing"] for e in full), full)
for name in ("network-minus-1", "network-0", "budget-nan", "budget-inf", "budget-negative"):
    check(f"{name} lists in full", parsed[name] == full)
check("no days, no screenshots", parsed["days-minus-one"] == [] and parsed["days-min"] == [])
check("a null folder is bad-args", parsed["bad-args"] == {"error": "bad-args"})
check("the most days list everything", len(parsed["days-max"]) >= len(full))
for name in ("empty-path", "huge-path", "non-utf8-path"):
    check(f"{name}: every entry missing, no path", parsed[name] and
          all(e["ismissing"] and e["path"] == "" for e in parsed[name]), parsed[name][:1])
check("a tiny budget", parsed["budget-tiny"] == [{"__truncated": True, "__done": 0, "__total": len(full)}],
      parsed["budget-tiny"])
check("nothing made under odd names", not any(n.startswith("odd-") for n in os.listdir(exports)))
threads = sorted(name for name in parsed if name.startswith("thread-"))
check("eight threads, five rounds each", len(threads) == 8 * 5, threads)
for name in threads:
    check(f"{name}: the full listing, copies whole", [e["uuid"] for e in parsed[name]] == [e["uuid"] for e in full] and
          listing_problem(parsed[name], pictures, shared) is None, listing_problem(parsed[name], pictures, shared))


def exported(binary):
    symbols = subprocess.run(["nm", "-D", "--defined-only", binary], capture_output=True, text=True).stdout
    return sorted(line.split()[2].split("@")[0] for line in symbols.splitlines() if line.split()[1:2] == ["T"])


# The four entry points are the whole exported surface of both deliverables.
four = ["pk_auth_status", "pk_free", "pk_list", "pk_request_auth"]
check("the library exports the four", exported(lib) == four, exported(lib))
check("the program exports the four", exported(shotsieve) == four, exported(shotsieve))
headers = subprocess.run(["objdump", "-h", lib], capture_output=True, text=True).stdout
check("the shared library carries no bundle information", "info_plist" not in headers)

# Installed header and pkg-config file build a host outside the build tree,
# and so does the CMake package from a prefix moved elsewhere.
if sanitized:
    print("skipped the installed-host build: a sanitized library needs a sanitized host")
else:
    prefix, outside = os.path.join(home, "prefix"), os.path.join(home, "outside")
    subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix], check=True, capture_output=True)
    os.mkdir(outside)
    with open(os.path.join(outside, "host.c"), "w") as f:
        f.write('#include <sievelink.h>\n#include <stdio.h>\nint main(void) {\n  char* text = pk_auth_status();\n'
                '  puts(text ? text : "NULL");\n  pk_free(text);\n  return 0;\n}\n')
    env["PKG_CONFIG_PATH"] = f"{prefix}/lib/pkgconfig:{prefix}/lib/x86_64-linux-gnu/pkgconfig"
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "sievelink"], env=env, capture_output=True,
                           text=True).stdout.split()
    built = subprocess.run(["cc", "-std=c11", "-Wall", "-Werror", "host.c", *flags, "-o", "host"], cwd=outside)
    check("a host builds against the installed library", built.returncode == 0)
    libdir = subprocess.run(["pkg-config", "--variable=libdir", "sievelink"], env=env, capture_output=True,
                            text=True).stdout.strip()
    ran = subprocess.run([os.path.join(outside, "host")], env=dict(env, LD_LIBRARY_PATH=libdir), capture_output=True)
    check("the installed host runs", ran.stdout == b'{"status":"authorized"}\n', ran)
    soname = subprocess.run(["objdump", "-p", os.path.join(libdir, "libsievelink.so")], capture_output=True,
                            text=True).stdout
    check("SONAME", "SONAME               libsievelink.so.1" in soname)
    shutil.move(prefix, os.path.join(home, "moved"))
    with open(os.path.join(outside, "CMakeLists.txt"), "w") as f:
        f.write("cmake_minimum_required(VERSION 3.16)\nproject(host C)\nfind_package(sievelink 1 REQUIRED)\n"
                "add_executable(host host.c)\ntarget_link_libraries(host PRIVATE sievelink::sievelink)\n")
    made = subprocess.run(["cmake", "-S", outside, "-B", os.path.join(outside, "build"),
                           "-DCMAKE_PREFIX_PATH=" + os.path.join(home, "moved")], capture_output=True)
    made = made if made.returncode else subprocess.run(["cmake", "--build", os.path.join(outside, "build")],
                                                       capture_output=True)
    check("a host builds with find_package(sievelink)", made.returncode == 0, made.stdout[-500:])
    ran = subprocess.run([os.path.join(outside, "build/host")], env=env, capture_output=True)
    check("the find_package host runs", ran.stdout == b'{"status":"authorized"}\n', ran)
shutil.rmtree(home)
finish()
