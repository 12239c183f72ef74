#!/usr/bin/env python3
"""Makes N desktop reports (lib/DesktopReport.h's format) in a folder, for
bench/run-reports: most desktops up to date on one of three releases, some failed,
some with their runs spent, some last heard from more than a week ago."""
import datetime
import os
import random
import sys

folder, count = sys.argv[1], int(sys.argv[2])
os.makedirs(folder, exist_ok=True)
rng = random.Random(20260110)
now = datetime.datetime.now(datetime.timezone.utc)
releases = ["2026-01-10 12:00:00.000", "2026-01-03 08:30:00.000", "2025-12-15 17:45:12.000"]
reasons = ["The process cannot access the file because it is being used by another process.",
           "Access denied.", "There is not enough space on the disk."]
for i in range(count):
    roll = rng.random()
    outcome = "failed" if roll < 0.04 else "retries-spent" if roll < 0.05 else "succeeded"
    days = rng.uniform(8, 30) if rng.random() < 0.03 else rng.uniform(0, 6)
    written = (now - datetime.timedelta(days=days)).strftime("%Y-%m-%dT%H:%M:%SZ")
    computer = "PC%05d" % i
    fields = [
        ("computer", computer),
        ("user", "user%05d" % rng.randrange(count)),
        ("root", "C:\\Program Files\\Quovisa"),
        ("release", rng.choice(releases)),
        ("outcome", outcome),
        ("reason", rng.choice(reasons) if outcome != "succeeded" else ""),
        ("copied", str(rng.randrange(300))),
        ("duration-ms", str(rng.randrange(200, 20000))),
        ("version", "1.0.0.0"),
        ("written", written),
    ]
    text = "QVSDesktopReport 1\n" + "".join("%s=%s\n" % kv for kv in fields)
    with open(os.path.join(folder, "%s-%016x.qvsreport" % (computer, i)), "w", encoding="utf-8", newline="") as f:
        f.write(text)
