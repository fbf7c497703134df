#!/usr/bin/python3
"""Parses a message file with Python's email package and prints what a mail reader sees, as JSON."""

import base64
import email
import email.policy
import json
import sys


def describe(part):
    info = {
        "content_type": part.get_content_type(),
        "charset": part.get_content_charset(),
        "content_id": part.get("Content-ID"),
        "disposition": part.get_content_disposition(),
        "filename": part.get_filename(),
        "transfer_encoding": part.get("Content-Transfer-Encoding"),
        "type_param": part.get_param("type"),
        "defects": [type(d).__name__ for d in part.defects],
    }
    if part.is_multipart():
        info["parts"] = [describe(p) for p in part.iter_parts()]
    elif part.get_content_maintype() == "text":
        info["text"] = part.get_content()
    else:
        info["payload"] = base64.b64encode(part.get_payload(decode=True)).decode("ascii")
    return info


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    result = describe(message)
    result["from"] = str(message["From"])
    result["to"] = str(message["To"])
    result["subject"] = str(message["Subject"])
    result["date"] = str(message["Date"])
    result["message_id"] = str(message["Message-ID"])
    for name in ("From", "To"):
        header = message[name]
        result[name.lower() + "_addresses"] = [[a.display_name, a.addr_spec] for a in header.addresses]
        result[name.lower() + "_defects"] = [type(d).__name__ for d in header.defects]
    result["subject_defects"] = [type(d).__name__ for d in message["Subject"].defects]
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
