"""Round trip of one byte between two RFC 2217 clients through a served pair.

With `kelu serve --rfc2217 COM1=7001 --rfc2217 COM2=7002` running on a machine where
COM1 and COM2 are connected:

    /usr/bin/python3 bench/rfc2217_round_trip.py [ROUND_TRIPS] [URL_A URL_B]

Client A writes one byte, client B (pyserial, in a thread) echoes it, A reads it
back; prints the median and spread of the times.
"""
import statistics
import sys
import threading
import time

import serial

count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
url_a, url_b = sys.argv[2:4] if len(sys.argv) > 3 else ("rfc2217://127.0.0.1:7001", "rfc2217://127.0.0.1:7002")
a = serial.serial_for_url(url_a, baudrate=115200, timeout=5)
b = serial.serial_for_url(url_b, baudrate=115200, timeout=5)
stop = threading.Event()


def echo():
    while not stop.is_set():
        byte = b.read(1)
        if byte:
            b.write(byte)


echoer = threading.Thread(target=echo)
echoer.start()
for _ in range(50):  # warm-up
    a.write(b"w")
    a.read(1)
times = []
for _ in range(count):
    start = time.perf_counter()
    a.write(b"x")
    if a.read(1) != b"x":
        sys.exit("the byte did not come back")
    times.append(time.perf_counter() - start)
stop.set()
echoer.join()
a.close()
b.close()
times.sort()
print("%d round trips of one byte A->B->A: median %.0f us, p10 %.0f us, p90 %.0f us, p99 %.0f us"
      % (count, statistics.median(times) * 1e6, times[count // 10] * 1e6, times[count * 9 // 10] * 1e6,
         times[count * 99 // 100] * 1e6))
