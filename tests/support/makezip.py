#!/usr/bin/python3
"""Makes the zip archives of the engine's release tests.

makezip.py OUT [--shebang] ENTRY...
  ENTRY is NAME=FILE (one entry of that name, which may be anything, "../x"
  included) or NAME/=FOLDER (the folder's tree under NAME/). --shebang puts a
  script line before the archive, as the extractor's single-file program has.
"""
import os
import sys
import zipfile

out, entries = sys.argv[1], [a for a in sys.argv[2:] if a != "--shebang"]
with open(out, "wb") as sink:
    if "--shebang" in sys.argv:
        sink.write(b"#!/usr/bin/env python3\n")
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as archive:
        for entry in entries:
            name, source = entry.split("=", 1)
            if not name.endswith("/"):
                archive.write(source, name)
                continue
            for root, folders, files in os.walk(source):
                folders[:] = [f for f in folders if f != "__pycache__"]
                for file in files:
                    path = os.path.join(root, file)
                    archive.write(path, name + os.path.relpath(path, source))
