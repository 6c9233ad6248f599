#!/usr/bin/env python3
"""The way peer booths send their pictures, for bench_mailer to measure booth-mailer against:
Python's email package builds each message and smtplib hands it to the server, one message
per address, over one connection kept open.

    smtplib_sender.py PORT MANIFEST

MANIFEST is JSON: {"from", "subject", "body", "pictures": [{"files": [[path, name], ...],
"to": [address, ...]}]}. Each picture's files are read once; every address gets a message
with the text and the files attached. Prints one line when done:
    SENT <messages> WALL <seconds> CPU <seconds> MAXRSS_KIB <kibibytes>
(the peak resident memory of this program: /proc's VmHWM, which, unlike getrusage, does not
carry over the peak of the process it was started from).
"""
import json
import smtplib
import sys
import time
from email.message import EmailMessage
from email.utils import formatdate, make_msgid


def main():
    port, manifest = int(sys.argv[1]), sys.argv[2]
    with open(manifest, encoding="utf-8") as f:
        job = json.load(f)
    wall, cpu = time.monotonic(), time.process_time()
    sent = 0
    with smtplib.SMTP("127.0.0.1", port) as smtp:
        for picture in job["pictures"]:
            files = []
            for path, name in picture["files"]:
                with open(path, "rb") as f:
                    files.append((f.read(), name))
            for to in picture["to"]:
                message = EmailMessage()
                message["From"] = job["from"]
                message["To"] = to
                message["Subject"] = job["subject"]
                message["Date"] = formatdate(localtime=True)
                message["Message-ID"] = make_msgid(domain="example.com")
                message.set_content(job["body"])
                for data, name in files:
                    message.add_attachment(data, maintype="image", subtype="jpeg", filename=name)
                smtp.send_message(message)
                sent += 1
    wall, cpu = time.monotonic() - wall, time.process_time() - cpu
    with open("/proc/self/status", encoding="ascii") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print("SENT %d WALL %.6f CPU %.6f MAXRSS_KIB %d" % (sent, wall, cpu, peak), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
