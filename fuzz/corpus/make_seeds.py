#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/.

Run from anywhere; it rewrites the seed folders it owns. The seeds are small, meaningful inputs:
real reader frames, host commands, profile files as people and earlier releases wrote them, and
device names in the code pages the program writes.
"""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    """CRC-16/UMTS over the bytes given (a frame without its start byte)."""
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def plain_frame(command, data, parameter=0):
    body = bytes([parameter, 0, len(data) + 1, command]) + bytes(data)
    crc = crc16(body)
    return bytes([0x55]) + body + bytes([crc >> 8, crc & 0xFF])


def escape(frame):
    out = bytearray([frame[0]])
    for b in frame[1:]:
        if b == 0x55:
            out += b"\x56\x56"
        elif b == 0x56:
            out += b"\x56\x57"
        else:
            out.append(b)
    return bytes(out)


def frame(command, data, parameter=0):
    return escape(plain_frame(command, data, parameter))


# Reader frames.
def name_reply(text, item=0, status=0):
    return frame(0x01, bytes([status]) + text, item)


def start_ack(status=0):
    return frame(0x62, [status])


def tag_report(tag, bcd_time=None):
    head = [0, 1, 2, 3, 4] + list(tag.to_bytes(4, "big"))
    if bcd_time is None:
        return frame(0x62, head + [0, 0, 0, 0])  # L = 14: the PC's time
    return frame(0x62, head + bcd_time)  # L = 17: the reader's time


def atten_reply(index, status=0):
    return frame(0x12, [status, 0, 0, 0, 0, 0, 0, index])


def carrier_reply(index, status=0):
    return frame(0x14, [status, index])


def set_reply(command, status=0):
    return frame(command, [status])


def clock_reply(status=0):
    return frame(0xB0, [status])


TIME = [0x03, 0x05, 0x09, 0x07, 0x08, 0x03, 0x26]  # 2026-03-08 09:05:03
BAD_TIME = [0x99, 0xFF, 0x1F, 0x00, 0x00, 0xAA, 0x99]  # no range check: nibbles above 9
GBK_NAME = "读写器1".encode("gbk")
BIG5_NAME = "讀寫器".encode("big5")
UTF8_NAME = "读写器".encode("utf-8")


class DispatchSeed:
    """Mirrors the fuzz_dispatch harness's FuzzedDataProvider reads: stream bytes from the
    front, one-byte choices from the back (consumed last byte first)."""

    def __init__(self, setup):
        self.stream = bytearray()
        self.choices = [setup]

    def arrive(self, data, piece=256):
        for i in range(0, len(data), piece):
            part = data[i:i + piece]
            self.choices += [0, len(part) - 1]
            self.stream += part
        return self

    def parse(self):
        self.choices.append(4)
        return self

    def toggle_reading(self):
        self.choices.append(5)
        return self

    def rename(self, pick):
        self.choices += [6, pick]
        return self

    def refresh(self, clear=False):
        self.choices += [7, 1 if clear else 0]
        return self

    def bytes(self):
        return bytes(self.stream) + bytes(reversed(self.choices))


def dispatch_seeds():
    s = {}
    # setup: bits 0-1 code page (936, 950, 1252, 65001), 2-3 address, 4-5 port (4001, 5,
    # 65535), 7 reading.
    dialogue = (name_reply(b"R1") + clock_reply() + start_ack() + tag_report(12345678) +
                tag_report(12345678, TIME) + tag_report(0x55565556, TIME))
    s["dialogue"] = DispatchSeed(0x00).arrive(dialogue).parse().refresh().bytes()
    s["dialogue_in_small_pieces"] = (DispatchSeed(0x00).arrive(dialogue, 7).parse()
                                     .refresh().bytes())
    s["reports_reading_named"] = (DispatchSeed(0x80).rename(2)
                                  .arrive(b"".join(tag_report(t, TIME) for t in range(1, 9)))
                                  .parse().refresh().arrive(tag_report(3)).parse()
                                  .refresh(clear=True).arrive(tag_report(4, BAD_TIME)).parse()
                                  .refresh().bytes())
    s["reports_under_key"] = (DispatchSeed(0x80 | 0x04 | 0x10).arrive(tag_report(7, TIME))
                              .parse().rename(3).arrive(tag_report(8)).parse().refresh().bytes())
    s["identity_items"] = (DispatchSeed(0x01).arrive(
        name_reply(GBK_NAME) + name_reply(b"PT-900", 1) + name_reply(b"SN0001", 2) +
        name_reply(b"V1.0", 3) + name_reply(b"H2", 5) + name_reply(b"X", 4) +
        name_reply(b"", 0) + name_reply(b"bad", 0, status=1) + name_reply(b"R\x00\x01", 0))
                           .parse().bytes())
    s["names_big5_utf8"] = (DispatchSeed(0x82).rename(5).arrive(tag_report(1, TIME)).parse()
                            .rename(6).arrive(tag_report(1)).parse().refresh()
                            .rename(4).arrive(tag_report(2)).parse().refresh().bytes())
    s["radio_replies"] = DispatchSeed(0x03).arrive(
        atten_reply(5) + atten_reply(7, status=1) + carrier_reply(2) + carrier_reply(3, 2) +
        set_reply(0x11) + set_reply(0x13, 1) + clock_reply(1) + frame(0x6F, [0]) +
        frame(0xD0, [0, 0x55])).parse().bytes()
    s["stop_then_report"] = (DispatchSeed(0x80).rename(1).arrive(tag_report(9)).parse()
                             .toggle_reading().arrive(tag_report(10)).parse()
                             .arrive(start_ack()).parse().arrive(tag_report(11)).parse()
                             .refresh().bytes())
    s["junk_full_buffer"] = (DispatchSeed(0x80).arrive(bytes(range(1, 0x55)) * 13)
                             .arrive(start_ack()).parse().bytes())
    s["long_frame_no_end"] = (DispatchSeed(0x00).arrive(b"\x55" + b"\x01" * 1100)
                              .parse().arrive(start_ack() + clock_reply()).parse().bytes())
    s["split_escape"] = (DispatchSeed(0x80).rename(1)
                         .arrive(tag_report(0x55555555, TIME), 1).parse().refresh().bytes())
    s["bad_crc"] = DispatchSeed(0x00).arrive(
        start_ack()[:-1] + b"\x00" + clock_reply()).parse().bytes()
    return s


def host_commands():
    return [plain_frame(0x62, [1, 1]), plain_frame(0x6F, []), plain_frame(0x01, [0]),
            plain_frame(0x12, []), plain_frame(0x14, [0, 0, 0, 0]), plain_frame(0x13, [0, 1, 2], 2),
            plain_frame(0xB0, TIME), plain_frame(0xD0, [0, 0x55], 5)]


def extract_frames_seeds():
    """fuzz_extract_frames, random-stream path: choices from the back (mode, then per piece a
    two-byte size, a record capacity and whether to deframe), piece bytes from the front."""
    def seed(pieces):
        front = bytearray()
        choices = [1]
        for piece, capacity in pieces:
            choices += [0, len(piece), capacity - 1, 1]
            front += piece
        return bytes(front) + bytes(reversed(choices))

    reader = name_reply(b"R1") + start_ack() + tag_report(1, TIME) + atten_reply(5)
    return {
        "reader_frames": seed([(reader[:20], 50), (reader[20:], 2)]),
        "escapes": seed([(tag_report(0x55565556)[:11], 1), (tag_report(0x55565556)[11:], 1)]),
        "junk_then_frame": seed([(b"\x01\x02\x56\x57" + tag_report(3), 50), (b"\x55", 50)]),
        "host_commands": seed([(b"".join(escape(f) for f in host_commands()), 3)]),
    }


def sim_reader_seeds():
    """fuzz_sim_reader: options from the back, the two identity texts from the front, then per
    step a choice (0 raw bytes with a two-byte size, 1 a built command with type, parameter and
    cut)."""
    def seed(steps, silent=0):
        front = bytearray(b"R1\\xPT-9\\x")
        choices = [silent, 0, 0, 0, 0, 0, 0, 1, 1] + [0, 0, 0, 0]  # ..., 17-byte reports, tick
        for data in steps:
            choices += [0, len(data) >> 8, len(data) & 0xFF]
            front += data
        return bytes(front) + bytes(reversed(choices))

    dialogue = [escape(plain_frame(0x01, [0])), escape(plain_frame(0xB0, TIME)),
                escape(plain_frame(0x62, [1, 1])), escape(plain_frame(0xD0, [0x01, 0x2C], 12))]
    return {"host_commands": seed([b"".join(escape(f) for f in host_commands())]),
            "dialogue": seed(dialogue),
            "silent_reader": seed(dialogue, silent=1)}


INI_FILES = {
    "page_written": b"[Service_Param]\r\nService_IP=192.168.1.5\r\nService_Port=7088\r\n"
                    b"Login_Time=1\r\nUSER_Refresh_Time=30\r\n",
    "all_keys": b"[Service_Param]\nService_IP=127.0.0.1\nService_Port=7088\nLogin_Time=10\n"
                b"USER_Refresh_Time=600\nTime_Out=5000\nKeepRecord=3\nCalibrateTime=1\n"
                b"CodePage=950\n",
    "bom_crlf_comments": b"\xef\xbb\xbf; settings\r\n[service_param] ; note\r\n"
                         b"  service_ip = \"10.0.0.1\" \r\nSERVICE_PORT=+7088x\r\n"
                         b"KeepRecord='2'\r\nCodePage=65001\r\n",
    "duplicates": b"[Service_Param]\nService_Port=1\nService_Port=2\n[Other]\nKeepRecord=1\n"
                  b"[Service_Param]\nKeepRecord=3\nLogin_Time=71583\nUSER_Refresh_Time=4294968\n",
    "hostile_numbers": b"[Service_Param]\nService_Port=-5\nLogin_Time=-1\n"
                       b"USER_Refresh_Time=99999999999\nTime_Out=2999\nCodePage=1252abc\n"
                       b"KeepRecord=\t 7\n=x\n[broken\nService_IP=" + b"9" * 140 + b"\n",
    "nul_and_cr": b"[Service_Param]\rService_IP=1.2.3.4\x00tail\nService_Port=70\x0088\n"
                  b"CodePage= 936 \n",
}

TEXTS = {
    "gbk_name": GBK_NAME,
    "big5_name": BIG5_NAME,
    "utf8_name": UTF8_NAME,
    "cp1252": "Café €5 – “x”".encode("cp1252"),
    "mixed_invalid": b"R\xff\xfe\x80\xa1" + UTF8_NAME[:-1] + b"\xed\xa0\x80\xf4\x90\x80\x80",
    "truncated_dbcs": GBK_NAME + b"\xb6",
    "ascii_digits": b"4294967295",
    "report_with_time": plain_frame(0x62, [0, 1, 2, 3, 4, 0, 0xBC, 0x61, 0x4E] + TIME),
    "report_bad_bcd": plain_frame(0x62, [0, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF] + BAD_TIME),
    "report_pc_time": plain_frame(0x62, [0, 1, 2, 3, 4, 0, 0, 0, 7, 0, 0, 0, 0]),
}


def varint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def rollup_seeds():
    """The minute (or first sequence number) as 8 little-endian bytes, then a list's bytes."""
    minute = (29_000_000).to_bytes(8, "little")
    readers = varint(3) + varint(59_999) + varint(1) + varint(0) + varint(200) + varint(12_345)
    seqs = varint(1) + varint(127) + varint(128) + varint(300_000)
    return {
        "three_readers": minute + readers,
        "seq_gaps": (1_000_000).to_bytes(8, "little") + seqs,
        "empty": minute,
        "long_varint": minute + b"\x80" * 9 + b"\x01" + varint(5),
        "before_1970": (2**64 - 5).to_bytes(8, "little") + varint(1) + varint(10),
    }


def asset_csv_seeds():
    """Asset lists as operators and spreadsheets write them, and the faults they make."""
    head = b"tag,label,group,note\n"
    return {
        "plain": head + b"1,Forklift 1,Vehicles,\n2,Forklift 2,Vehicles,serviced\n0,Zero,,\n",
        "bom_crlf_no_last_end": b"\xef\xbb\xbftag,label,group,note\r\n"
        + b"4294967295,Last,,\r\n007,Seven,Bay 7,\r\n12,Twelve,,note",
        "quoted": head
        + b'5,"Comma, inside","Group, too","note, with, commas"\n'
        + b'17,"Quote ""q""","""","two\r\nlines"\n'
        + b'300,"Line\nbreak",,""\n',
        "unicode": head + "77777,门禁 Ünïcödé ✓ 😀,Ἀθῆναι,ß\n".encode(),
        "duplicate_tag": head + b"1,a,,\n2,b,,\n1,c,,\n",
        "faults": head + b'12a,a,,\n1,a"b,,\n1,"a"b,,\n1,a\rb,,\n1,,,\n1,a,\xc3(,\n',
        "unclosed_quote": head + b'1,a,,"never closed\n2,b,,\n',
        "field_counts": head + b"1,a,,\n\n2,b\n3,c,,,\n",
    }


def write(target, seeds):
    folder = os.path.join(HERE, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def main():
    write("fuzz_dispatch", dispatch_seeds())
    write("fuzz_extract_frames", extract_frames_seeds())
    write("fuzz_sim_reader", sim_reader_seeds())
    write("fuzz_text_codec", TEXTS)
    write("fuzz_rollup_lists", rollup_seeds())
    write("fuzz_service_config", INI_FILES)
    write("fuzz_asset_csv", asset_csv_seeds())
    # fuzz_ini_file: the value to write from the front ("5000", ended by a backslash pair), the
    # file behind it; from the back: Service_Param / Login_Time for the written key and for the
    # other key read, then "on disk".
    ini_choices = bytes(reversed([1, 0, 1, 3, 1, 0, 1, 3, 0]))
    write("fuzz_ini_file", {k: b"5000\\x" + v + ini_choices for k, v in INI_FILES.items()})


if __name__ == "__main__":
    main()
