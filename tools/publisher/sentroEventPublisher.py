#!/usr/bin/env python3
"""Reference health-event publisher for Sentro.

Sentro runs this script with one "--eventdata NAME,NEW,OLD,UNSOLICITED"
argument per health change. This publisher appends each event as one JSON
object per line to the file named by --output (default: the
SENTRO_EVENTS_FILE environment variable, else ./sentro-events.jsonl) and
exits 0 when every event was written.
"""
import argparse
import datetime
import json
import os
import sys


def parse_event(text):
    parts = text.split(",")
    if len(parts) != 4:
        raise ValueError("malformed event %r" % text)
    name, new, old, unsolicited = parts
    return {
        "service": name,
        "newHealth": new,
        "oldHealth": old,
        "unsolicited": unsolicited == "1",
    }


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--eventdata", action="append", default=[],
                        help="one event: NAME,NEW,OLD,UNSOLICITED")
    parser.add_argument("--output",
                        default=os.environ.get("SENTRO_EVENTS_FILE", "sentro-events.jsonl"))
    args = parser.parse_args(argv)
    try:
        events = [parse_event(text) for text in args.eventdata]
    except ValueError as error:
        print(error, file=sys.stderr)
        return 2
    now = datetime.datetime.now(datetime.timezone.utc).isoformat()
    with open(args.output, "a", encoding="utf-8") as out:
        for event in events:
            event["receivedAt"] = now
            out.write(json.dumps(event, sort_keys=True) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
