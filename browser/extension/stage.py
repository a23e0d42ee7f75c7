#!/usr/bin/env python3
"""Writes the extensions and the administrators' policy files for a set of
page origins (packaging; the default is the demonstration's loopback list).

  stage.py chromium DIR [ORIGIN...]         the Chromium extension, unpacked
  stage.py firefox DIR [ORIGIN...]          the Firefox add-on, unpacked
  stage.py chromium-policy FILE [ORIGIN...] /etc/chromium/policies/managed file
  stage.py firefox-managed FILE [ORIGIN...] Firefox managed-storage manifest

An origin is scheme://host[:port] with http or https; "*" as the port allows
any port. The content scripts match the hosts (match patterns carry no port);
origins.js keeps the ports.
"""
import json
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FIREFOX = os.path.join(HERE, "..", "extension-firefox")
CHROMIUM_ID = "cjeammpeofkbcchcphlnhjkoapomnifi"
FIREFOX_ID = "enroll@tessaro.example"
ORIGIN = re.compile(r"^(https?)://(\[[0-9a-fA-F:.]+\]|[A-Za-z0-9.-]+)(?::(\d{1,5}|\*))?$")


def default_origins():
    text = open(os.path.join(HERE, "origins.js"), encoding="utf-8").read()
    m = re.search(r"var TESSARO_ALLOWED_ORIGINS = (\[.*?\]);", text, re.S)
    return json.loads(m.group(1))


def check(origins):
    for o in origins:
        m = ORIGIN.match(o)
        if not m or (m.group(3) not in (None, "*") and not 0 < int(m.group(3)) < 65536):
            sys.exit(f"stage.py: not an origin (scheme://host[:port]): {o!r}")
    if not origins:
        sys.exit("stage.py: no origin given")
    return origins


def matches(origins):
    out = []
    for o in origins:
        m = ORIGIN.match(o)
        p = f"{m.group(1)}://{m.group(2).lower()}/*"
        if p not in out:
            out.append(p)
    return out


def origins_js(origins):
    text = open(os.path.join(HERE, "origins.js"), encoding="utf-8").read()
    listed = "[\n" + ",\n".join("  " + json.dumps(o) for o in origins) + "\n]"
    new, n = re.subn(r"(var TESSARO_ALLOWED_ORIGINS = )\[.*?\];", lambda m: m.group(1) + listed + ";", text,
                     count=1, flags=re.S)
    if n != 1:
        sys.exit("stage.py: origins.js has no TESSARO_ALLOWED_ORIGINS list")
    return new


def write(path, text):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def extension(out, manifest_path, origins, extra):
    manifest = json.load(open(manifest_path, encoding="utf-8"))
    for cs in manifest["content_scripts"]:
        cs["matches"] = matches(origins)
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    write(os.path.join(out, "manifest.json"), json.dumps(manifest, indent=2) + "\n")
    write(os.path.join(out, "origins.js"), origins_js(origins))
    for f in ["background.js", "content.js"] + extra:
        shutil.copyfile(os.path.join(HERE, f), os.path.join(out, f))


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    kind, out = argv[0], argv[1]
    origins = check(argv[2:] or default_origins())
    if kind == "chromium":
        extension(out, os.path.join(HERE, "manifest.json"), origins, ["schema.json"])
    elif kind == "firefox":
        extension(out, os.path.join(FIREFOX, "manifest.json"), origins, [])
    elif kind == "chromium-policy":
        policy = {"3rdparty": {"extensions": {CHROMIUM_ID: {"allowedOrigins": origins}}}}
        write(out, json.dumps(policy, indent=2) + "\n")
    elif kind == "firefox-managed":
        managed = {"name": FIREFOX_ID, "description": "Page origins the Tessaro enrollment add-on serves",
                   "type": "storage", "data": {"allowedOrigins": origins}}
        write(out, json.dumps(managed, indent=2) + "\n")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
