#!/usr/bin/python3
"""Reads messages as a mail reader does, with Python's email package (policy
default). Each line on standard input is one message's data in hex; the
answer is lines "KEY VALUE", then "end": subject, from, to, cc and reply-to
(display name TAB address, one line each) and body in hex of their UTF-8,
type, date (epoch and UTC offset in seconds), id, "header NAME VALUE" for
Importance and X-Priority, defects (comma-separated) of every part, or
"error TEXT". A multipart message gives, instead of its body, one line per
part in order: "multipart TYPE", or "part TYPE DISPOSITION NAME CONTENT"
with "-" for no disposition or name, the name in hex of its UTF-8, and the
content in hex: the decoded bytes of a part with a name, else the UTF-8 of
its text.
"""
import email
import email.policy
import sys


def hexed(text):
    return text.encode("utf-8", "surrogateescape").hex()


def read(data):
    message = email.message_from_bytes(data, policy=email.policy.default)
    lines = ["subject " + hexed(str(message["Subject"]))]
    for field in ("From", "To", "Cc", "Reply-To"):
        for address in message[field].addresses if message[field] is not None else ():
            lines.append("%s %s" % (field.lower(),
                                    hexed(address.display_name + "\t" + address.addr_spec)))
    lines.append("type " + message.get_content_type())
    if not message.is_multipart():
        lines.append("body " + hexed(message.get_content()))
    for part in message.walk() if message.is_multipart() else ():
        if part.is_multipart():
            lines.append("multipart " + part.get_content_type())
            continue
        name = part.get_filename()
        content = part.get_payload(decode=True) if name is not None else \
            part.get_content().encode("utf-8", "surrogateescape")
        lines.append("part %s %s %s %s" % (part.get_content_type(),
                                           part.get_content_disposition() or "-",
                                           "-" if name is None else hexed(name), content.hex()))
    date = message["Date"].datetime
    lines.append("date %d %d" % (date.timestamp(), date.utcoffset().total_seconds()))
    lines.append("id " + str(message["Message-ID"]))
    for field in ("Importance", "X-Priority"):
        if message[field] is not None:
            lines.append("header %s %s" % (field, message[field]))
    defects = []
    for part in message.walk():
        defects += part.defects
        for value in part.values():
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
