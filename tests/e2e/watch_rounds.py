#!/usr/bin/env python3
"""A long watch stays flat: 40,000 screenshots that come and go in 8 rounds
are each reported once, and neither memory nor descriptors grow.

usage: watch_rounds.py SHOTSIEVE MAKE_LIBRARY [sanitized]

Under the sanitizers (whose memory means nothing here) fewer rounds, and
memory is not measured.
"""
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, finish, new_home, Watch, sample_png, screenshot, uuids  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
sanitized = len(sys.argv) > 3 and sys.argv[3] in ("ON", "sanitized", "tsan")
sample = sample_png(make_library)

# 40,000 screenshots that come and go: every one reported once, and the watch
# stays flat. Under the sanitizers (whose memory means nothing here) fewer.
rounds, per_round = (3, 1000) if sanitized else (8, 5000)
home = new_home("shotsieve-rounds-")
shots = os.path.join(home, "Pictures/Screenshots/rounds")
os.makedirs(shots)
watch = Watch(shotsieve, home)
seen, memory, descriptors = set(), {}, {}
for round_ in range(1, rounds + 1):
    names = [os.path.join(shots, f"r{round_}-{i:04}.png") for i in range(per_round)]
    for name in names:
        screenshot(name, sample)
    got = uuids(watch.lines(per_round, 120, quiet=0.3))
    check(f"round {round_}: every screenshot once", len(got) == per_round and not seen & set(got), len(got))
    seen.update(got)
    for name in names:
        os.remove(name)
    if round_ in (1 if sanitized else 3, rounds):
        if not sanitized:
            # A file that left is remembered for a while (it may be on its way
            # elsewhere), and the index written a second after it is forgotten.
            time.sleep(13)
        memory[round_], descriptors[round_] = watch.memory_kib(), watch.descriptors()
first, last = sorted(memory)
print(f"resident memory after round {first}: {memory[first]} KiB, after round {last}: {memory[last]} KiB")
if sanitized:
    print("memory is not checked under the sanitizers")
else:
    check("memory from round 3 to round 8 grows under 2 MiB", memory[last] - memory[first] < 2048,
          f"{memory[last] - memory[first]} KiB")
check("descriptors stay as they were", descriptors[last] == descriptors[first], descriptors)
watch.stop()
shutil.rmtree(home)
finish()
