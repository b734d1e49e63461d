#!/usr/bin/python3
"""Resolution benchmark: the cost of asking the extraction engine for a media
address, through libKavro.so (which keeps a resident extractor worker) against
the one-shot yt-dlp program, both in the same run on a file served on
127.0.0.1. Prints the medians and the ratios with the one-shot time as base:
the engine's first resolution (which starts the worker) and its later ones.

  bench/resolve.py LIBKAVRO MEMDLL2 [runs, default 7]
(bench/resolve.sh builds the release tree and calls this.)
"""
import ctypes
import functools
import http.server
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

library, image_file = sys.argv[1], sys.argv[2]
runs = int(sys.argv[3]) if len(sys.argv) > 3 else 7

site = tempfile.mkdtemp()
with open(os.path.join(site, "clip.mp4"), "wb") as clip:
    clip.write(b"\0" * 65536)
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

handler = functools.partial(Quiet, directory=site)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
url = "http://127.0.0.1:%d/clip.mp4" % server.server_address[1]
arguments = ["-g", "--get-filename", "-o", "%(title)s_(\r\n%(height)s\r\np)_%(id)s.%(ext)s",
             "-f", "best", url]
home = tempfile.mkdtemp()  # no user configuration or cache in the measurement
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home)
env.pop("KAVRO_EXTRACTOR", None)
os.environ.update(env)
os.environ.pop("KAVRO_EXTRACTOR", None)

def one_shot():
    start = time.perf_counter()
    subprocess.run([shutil.which("yt-dlp")] + arguments, env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    return time.perf_counter() - start

PRINT = ctypes.CFUNCTYPE(None, ctypes.c_char_p)
printed = []
callback = PRINT(lambda text: printed.append(text))

def engine_run(engine):
    argv = [b"Hello world.exe"] + [a.encode() for a in arguments]
    array = (ctypes.c_char_p * len(argv))(*argv)
    start = time.perf_counter()
    result = engine.Run(len(argv), array, callback)
    elapsed = time.perf_counter() - start
    if result != 0:
        sys.exit("the engine failed: %d" % result)
    return elapsed

one_shot()  # warms the file system cache for both sides
baseline = statistics.median(one_shot() for _ in range(runs))

# Each first resolution in a process of its own, so that each starts a worker.
firsts = []
for _ in range(runs):
    code = ("import ctypes,sys,time\n"
            "image=open(sys.argv[2],'rb').read()\n"
            "e=ctypes.CDLL(sys.argv[1]); buf=ctypes.create_string_buffer(image)\n"
            "assert e.Init(0, buf)==0\n"
            "P=ctypes.CFUNCTYPE(None, ctypes.c_char_p); cb=P(lambda t: None)\n"
            "argv=[a.encode() for a in sys.argv[3:]]; arr=(ctypes.c_char_p*len(argv))(*argv)\n"
            "s=time.perf_counter(); r=e.Run(len(argv), arr, cb); print(time.perf_counter()-s, r)\n")
    out = subprocess.run([sys.executable, "-c", code, library, image_file, "Hello world.exe"] + arguments,
                         env=env, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True).stdout.split()
    if out[1] != "0":
        sys.exit("the engine failed: " + out[1])
    firsts.append(float(out[0]))
first = statistics.median(firsts)

engine = ctypes.CDLL(library)
image = ctypes.create_string_buffer(open(image_file, "rb").read())
if engine.Init(0, image) != 0:
    sys.exit("Init refused the runtime image")
engine_run(engine)
later = statistics.median(engine_run(engine) for _ in range(runs))
server.shutdown()

print("one-shot yt-dlp          %.3f s" % baseline)
print("engine, first resolution %.3f s   ratio %.2f (goal at most 1.05)" % (first, first / baseline))
print("engine, later ones       %.3f s   ratio %.2f (goal at most 0.100 s)" % (later, later / baseline))
