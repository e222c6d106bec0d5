# SPDX-License-Identifier: MIT
"""Checks the report a guest printed as JSON; prints what is wrong, nothing when all is right.

check_report.py REPORT.json PICK_INTERFACE DESCRIPTORS "DRIVER ..."
"""
import json
import sys

report = json.load(open(sys.argv[1]))
ours = [d for d in report["devices"] if d["vendor_id"] == "1209"]
if len(ours) != 1:
    sys.exit(f"{len(ours)} devices of vendor 1209")
device, pick, guid = ours[0], report["pick"], report["guid"]
functions = device["windows"]["functions"]
problems = []
if not pick or pick["interface"] != int(sys.argv[2]) or pick["path"] != device["program"]["path"]:
    problems.append(f"pick {pick}, program {device['program']}")
if device["windows"]["descriptors"] != sys.argv[3]:
    problems.append(f"descriptors {device['windows']['descriptors']}")
if [f["driver"] for f in functions] != sys.argv[4].split():
    problems.append(f"drivers {[f['driver'] for f in functions]}")
if not any(f["driver"] == "winusb" and guid in f["device_interface_guids"] for f in functions):
    problems.append("no WinUSB function with the class")
errors = [p["rule"] for p in device["problems"] if p["severity"] == "error"]
if errors:
    problems.append(f"errors {errors}")
if any(d["read"] for d in report["devices"] if d["vendor_id"] != "1209"):
    problems.append("a device other than the test device was asked")
print("; ".join(problems))
