#!/usr/bin/python3
"""Reads messages as a mail reader does, with Python's email package (policy
default). Each line on standard input is one message's data in hex; the
answer is lines "KEY VALUE", then "end": subject, from and to (display name
TAB address, one line each) and body in hex of their UTF-8, type, date (epoch
and UTC offset in seconds), id, defects (comma-separated), or "error TEXT".
"""
import email
import email.policy
import sys


def hexed(text):
    return text.encode("utf-8", "surrogateescape").hex()


def read(data):
    message = email.message_from_bytes(data, policy=email.policy.default)
    lines = ["subject " + hexed(str(message["Subject"]))]
    for field in ("From", "To"):
        for address in message[field].addresses:
            lines.append("%s %s" % (field.lower(),
                                    hexed(address.display_name + "\t" + address.addr_spec)))
    lines.append("type " + message.get_content_type())
    lines.append("body " + hexed(message.get_content()))
    date = message["Date"].datetime
    lines.append("date %d %d" % (date.timestamp(), date.utcoffset().total_seconds()))
    lines.append("id " + str(message["Message-ID"]))
    defects = list(message.defects)
    for value in message.values():
        defects += value.defects
    lines.append("defects " + ",".join(type(d).__name__ for d in defects))
    return lines


for line in sys.stdin:
    try:
        answers = read(bytes.fromhex(line.strip()))
    except Exception as error:  # shown by the test, which then fails
        answers = ["error " + repr(error)]
    for answer in answers:
        print(answer)
    print("end", flush=True)
