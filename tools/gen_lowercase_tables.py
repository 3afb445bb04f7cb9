#!/usr/bin/env python3
"""Generates src/engine/lowercase_tables.inc from the running Python's str.lower().

Everything the lower-casing code needs is observed through str.lower() itself,
so the tables reproduce exactly what this interpreter does:

* the full lowercase mapping of every code point, from chr(cp).lower();
* the two character classes the final-sigma rule can see, found by lowering
  short strings around a capital sigma. The rule (as CPython applies it) looks
  backwards and forwards from the sigma, skipping case-ignorable characters;
  the first other character decides, by whether it is cased. So a character
  matters to the rule only as "case-ignorable" (skipped; this includes
  characters that are also cased), "cased" (cased and not case-ignorable) or
  neither.

Layout of the output:

* kLowerRecords: the distinct (mapping, class) records. A record holds a code
  point delta, or for a one-to-many mapping an offset into kLowerMultiUtf8,
  plus flag bits.
* kLowerStage1 / kLowerStage2: a two-stage lookup for code points below
  kLowerTableLimit: stage 1 maps a block of code points to a deduplicated
  block in stage 2, which holds record indices.
* kLowerHighRanges: the few ranges at or above kLowerTableLimit whose record is
  not record 0 (no mapping, no class).

Usage:
  python3 tools/gen_lowercase_tables.py            # rewrite the checked-in file
  python3 tools/gen_lowercase_tables.py --check    # exit 1 if it is stale
  python3 tools/gen_lowercase_tables.py -o FILE    # write elsewhere

The checked-in tables carry the Unicode version they were made from; the
generator refuses to replace them with tables of another version unless
--allow-version-change is given, since that changes the engine's behaviour
(and any saved keyword tries folded with the old tables).
"""

import argparse
import os
import re
import sys
import unicodedata

MAX_CODE_POINT = 0x10FFFF
CAPITAL_SIGMA = 0x03A3
SMALL_FINAL_SIGMA = "\u03c2"

# Class values; the C++ side names them kCased and kCaseIgnorable.
CLASS_NONE = 0
CLASS_CASED = 1
CLASS_IGNORABLE = 2

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUTPUT = os.path.join(REPO_ROOT, "src", "engine", "lowercase_tables.inc")
COMMAND = "python3 tools/gen_lowercase_tables.py"


def sigma_is_final(s, index):
    return s.lower()[index] == SMALL_FINAL_SIGMA


def sigma_class(c):
    """The class of `c` as far as the final-sigma rule can observe it."""
    # After "A" (cased): final when c is skipped or is itself cased.
    after_cased = sigma_is_final("A" + c + "\u03a3", -1)
    # After " " (not cased): final only when c is cased and not skipped.
    after_space = sigma_is_final(" " + c + "\u03a3", -1)
    # Forward look from a sigma after "A": not final only when c is cased and
    # not skipped; with "A" after c, final only when c is neither class.
    before = sigma_is_final("A\u03a3" + c, 1)
    before_cased = sigma_is_final("A\u03a3" + c + "A", 1)
    if after_space:
        cls = CLASS_CASED
    elif after_cased:
        cls = CLASS_IGNORABLE
    else:
        cls = CLASS_NONE
    # The four probes must tell one consistent story.
    expected_before = cls != CLASS_CASED
    expected_before_cased = cls == CLASS_NONE
    if before != expected_before or before_cased != expected_before_cased:
        raise SystemExit(f"inconsistent final-sigma behaviour for U+{ord(c):04X}")
    return cls


def utf8_len(cp):
    return 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4


def build():
    records = {}  # key -> index; key = (kind, value, cls)
    multi = bytearray()
    multi_offsets = {}
    per_cp = []
    max_num, max_den = 1, 1  # largest ratio of lowered to original UTF-8 length
    for cp in range(MAX_CODE_POINT + 1):
        c = chr(cp)
        lowered = c.lower()
        cls = sigma_class(c)
        if cp == CAPITAL_SIGMA:
            # Delta to the small sigma; the text path picks final sigma from context.
            key = ("sigma", ord(lowered) - cp, cls)
        elif len(lowered) == 1:
            key = ("delta", ord(lowered) - cp, cls)
        else:
            encoded = lowered.encode("utf-8")
            if len(encoded) > 255:
                raise SystemExit(f"mapping of U+{cp:04X} too long")
            if encoded not in multi_offsets:
                multi_offsets[encoded] = len(multi)
                multi.append(len(encoded))
                multi.extend(encoded)
            key = ("multi", multi_offsets[encoded], cls)
        if not 0xD800 <= cp <= 0xDFFF:
            out_len = len(lowered.encode("utf-8"))
            in_len = utf8_len(cp)
            if out_len * max_den > max_num * in_len:
                max_num, max_den = out_len, in_len
        if key not in records:
            records[key] = len(records)
        per_cp.append(records[key])
    if per_cp[0] != 0 or list(records)[0] != ("delta", 0, CLASS_NONE):
        raise SystemExit("expected U+0000 to have the neutral record")
    if len(records) > 256:
        raise SystemExit("more than 256 records; stage 2 entries would need 16 bits")

    # Everything with a mapping or a cased class lies below the table limit;
    # above it only a few ranges of case-ignorable characters remain.
    keys = list(records)

    def needs_table(cp):
        kind, value, cls = keys[per_cp[cp]]
        return kind != "delta" or value != 0 or cls == CLASS_CASED

    limit = (max(cp for cp in range(MAX_CODE_POINT + 1) if needs_table(cp)) // 0x10000 + 1) * 0x10000
    high_ranges = []
    for cp in range(limit, MAX_CODE_POINT + 1):
        r = per_cp[cp]
        if r == 0:
            continue
        if high_ranges and high_ranges[-1][1] == cp - 1 and high_ranges[-1][2] == r:
            high_ranges[-1][1] = cp
        else:
            high_ranges.append([cp, cp, r])
    if len(high_ranges) > 8:
        raise SystemExit("too many ranges above the table limit")

    # Pick the block size giving the smallest tables (ties: the larger block).
    best = None
    for shift in range(4, 10):
        size = 1 << shift
        blocks = {}
        stage1 = []
        for start in range(0, limit, size):
            block = tuple(per_cp[start:start + size])
            stage1.append(blocks.setdefault(block, len(blocks)))
        if len(blocks) > 65536:
            continue
        width = 1 if len(blocks) <= 256 else 2
        total = len(stage1) * width + len(blocks) * size
        if best is None or total <= best[0]:
            best = (total, shift, stage1, list(blocks), width)
    _, shift, stage1, blocks, width = best
    return {
        "records": list(records),
        "multi": bytes(multi),
        "shift": shift,
        "stage1": stage1,
        "stage1_width": width,
        "stage2": [r for block in blocks for r in block],
        "limit": limit,
        "high_ranges": high_ranges,
        "max_growth": (max_num, max_den),
    }


def format_numbers(values, per_line=16):
    lines = []
    for i in range(0, len(values), per_line):
        lines.append("    " + ", ".join(str(v) for v in values[i:i + per_line]) + ",")
    return "\n".join(lines)


def render(t, version):
    class_names = {CLASS_NONE: None, CLASS_CASED: "kCased", CLASS_IGNORABLE: "kCaseIgnorable"}
    kind_flags = {"delta": None, "sigma": "kCapitalSigma", "multi": "kMultiple"}
    record_lines = []
    for kind, value, cls in t["records"]:
        flags = [f for f in (kind_flags[kind], class_names[cls]) if f]
        record_lines.append(f"    {{{value}, {' | '.join(flags) if flags else '0'}}},")
    stage1_type = "std::uint8_t" if t["stage1_width"] == 1 else "std::uint16_t"
    high = "\n".join(f"    {{0x{a:X}, 0x{b:X}, {r}}}," for a, b, r in t["high_ranges"])
    num, den = t["max_growth"]
    total = (len(t["stage1"]) * t["stage1_width"] + len(t["stage2"]) + len(t["records"]) * 8
             + len(t["multi"]) + len(t["high_ranges"]) * 12)
    return f"""\
// Generated by `{COMMAND}` from Python's str.lower(),
// Unicode {version}. Do not edit; regenerate instead.
// Tables: {len(t["records"])} records, {len(t["stage1"])} stage-1 entries, {len(t["stage2"]) >> t["shift"]} stage-2 blocks of
// {1 << t["shift"]}, about {total} bytes in all.

inline constexpr char kLowerTablesUnicodeVersion[] = "{version}";

// Code points at or above the limit are looked up in kLowerHighRanges.
inline constexpr std::uint32_t kLowerTableLimit = 0x{t["limit"]:X};
inline constexpr unsigned kLowerBlockShift = {t["shift"]};

// The lowered UTF-8 form of a character is at most num/den times as long.
inline constexpr std::size_t kLowerGrowthNum = {num};
inline constexpr std::size_t kLowerGrowthDen = {den};

inline constexpr LowerRecord kLowerRecords[] = {{
{chr(10).join(record_lines)}
}};

// One-to-many mappings: a length byte, then that many UTF-8 bytes.
inline constexpr unsigned char kLowerMultiUtf8[] = {{
{format_numbers(list(t["multi"]))}
}};

inline constexpr {stage1_type} kLowerStage1[] = {{
{format_numbers(t["stage1"], 24)}
}};

inline constexpr std::uint8_t kLowerStage2[] = {{
{format_numbers(t["stage2"], 24)}
}};

inline constexpr LowerRange kLowerHighRanges[] = {{
{high}
}};
"""


def checked_in_version(path):
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    m = re.search(r'kLowerTablesUnicodeVersion\[\] = "([^"]*)"', text)
    return m.group(1) if m else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default=DEFAULT_OUTPUT)
    parser.add_argument("--check", action="store_true",
                        help="compare with the existing file instead of writing it")
    parser.add_argument("--allow-version-change", action="store_true",
                        help="replace tables made from another Unicode version")
    args = parser.parse_args()

    version = unicodedata.unidata_version
    old_version = checked_in_version(args.output)
    if old_version is not None and old_version != version:
        message = (f"{args.output} holds Unicode {old_version} tables but this Python "
                   f"({sys.version.split()[0]}) has Unicode {version}")
        if args.check or not args.allow_version_change:
            raise SystemExit(f"error: {message}; pass --allow-version-change to replace them")
        print(f"warning: {message}; replacing them", file=sys.stderr)

    text = render(build(), version)
    if args.check:
        with open(args.output, encoding="utf-8") as f:
            if f.read() != text:
                raise SystemExit(f"error: {args.output} is stale; run {COMMAND}")
        return
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
