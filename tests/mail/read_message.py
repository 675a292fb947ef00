#!/usr/bin/python3
"""Reads messages the way a mail reader does, with Python's email package
(policy default), for the C++ tests to compare with what velmar was given.

Each line on standard input is one message's data in hex. For each, the
answer is lines "KEY VALUE", then "end":
    subject  HEX            decoded subject, UTF-8
    from     HEX            display name TAB address, UTF-8, one line each
    to       HEX
    type     TEXT           content type
    body     HEX            decoded body text, UTF-8, line ends as parsed
    date     EPOCH OFFSET   the Date header, seconds since 1970 and the
                            offset from UTC in seconds
    id       TEXT           the Message-ID
    defects  NAMES          what the parser found wrong, comma-separated
A message the parser cannot read gives "error TEXT".
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
