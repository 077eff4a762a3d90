# Median time of subprocess.run(["/bin/true"], capture_output=True), in
# microseconds, over the given number of runs (after a short warm-up).
import subprocess
import sys
import time

runs = int(sys.argv[1])
for _ in range(20):
    subprocess.run(["/bin/true"], capture_output=True)
times = []
for _ in range(runs):
    start = time.perf_counter()
    subprocess.run(["/bin/true"], capture_output=True)
    times.append(time.perf_counter() - start)
times.sort()
print(f"{times[len(times) // 2] * 1e6:.1f}")
