"""configparser loading the INI benchmark's file: prints `ini.load.configparser N MB/s`,
the median of several runs."""
import configparser
import os
import statistics
import sys
import time

path = sys.argv[1]
size = os.path.getsize(path)
times = []
for _ in range(3):
    start = time.perf_counter()
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    times.append(time.perf_counter() - start)
print(f"ini.load.configparser {size / 1e6 / statistics.median(times):.0f} MB/s", flush=True)
