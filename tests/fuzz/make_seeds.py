#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora under tests/fuzz/corpus/: a few valid inputs each, laid
out as the input layout comments at the top of each fuzz_*.cpp describe. Run it again after
changing a layout; scripts/fuzz only reads the files."""
import pathlib
import shutil

HERE = pathlib.Path(__file__).resolve().parent

KEY16 = bytes.fromhex("5A1C7E3B9D04F2A6C8E1B3D5F7092A4C")
DATA16 = bytes.fromhex("B4E29C71A05D3F86E7C2194B6AD08F35")
PRIVATE32 = bytes(range(1, 33))  # a usable SM2 private key: 0 < d < n
SPLIT_NIBBLE = b"0123456789:;<=>?"  # every character of split-nibble text


def shared_object():
    """A minimal 64-bit little-endian ELF shared object: one PT_LOAD over the whole file and a
    PT_DYNAMIC whose symbol table (found through DT_HASH) defines a device function and the
    simulator's mark, as the ELF reader of util/ reads a device library."""
    import struct
    names = b"\0GenerateKeyFromPw\0QV_SimulatorVersion\0"
    symbols_at = 64 + 2 * 56
    symbols = bytes(24) + struct.pack("<IBBHQQ", 1, 0x12, 0, 1, 0x100, 8) \
        + struct.pack("<IBBHQQ", 19, 0x11, 0, 1, 0x108, 4)
    strings_at = symbols_at + len(symbols)
    hash_at = strings_at + len(names)
    hash_table = struct.pack("<IIIIII", 1, 3, 1, 0, 2, 0)
    dynamic_at = hash_at + len(hash_table)
    dynamic = struct.pack("<QQQQQQQQQQQQ", 4, hash_at, 5, strings_at, 6, symbols_at,
                          10, len(names), 11, 24, 0, 0)
    size = dynamic_at + len(dynamic)
    header = b"\x7fELF\x02\x01\x01" + bytes(9) + struct.pack(
        "<HHIQQQIHHHHHH", 3, 62, 1, 0, 64, 0, 0, 64, 56, 2, 64, 0, 0)
    programs = struct.pack("<IIQQQQQQ", 1, 5, 0, 0, 0, size, size, 0x1000) \
        + struct.pack("<IIQQQQQQ", 2, 6, dynamic_at, dynamic_at, dynamic_at, len(dynamic),
                      len(dynamic), 8)
    return header + programs + symbols + names + hash_table + dynamic

SEEDS = {
    "codecs": {
        # length mode, length parameter, payload
        "whole_00ff": bytes([0, 0]) + b"\x00\xff",
        "whole_12ab": bytes([0, 0]) + b"\x12\xab",
        "prefix_odd_text": bytes([4, 5]) + b"12:;=>?0",
        "negative_length": bytes([6, 0]) + b"AB01",
        "mixed_case_hex": bytes([0, 0]) + b"aB0g1f",
        "shared_object": bytes([0, 0]) + shared_object(),
    },
    "keylib": {
        # arbitrary call: op, algorithm selector, pointers, key length mode and parameter, key
        # byte count, key, data length mode and parameter, data
        "sm4_encode": bytes([0, 0, 0, 0, 0, 16]) + KEY16 + bytes([0, 0]) + DATA16 * 2,
        "sm2_decode_garbage": bytes([1, 1, 0, 0, 0, 32]) + PRIVATE32 + bytes([0, 0])
        + b"\x04" + bytes(range(129)),
        "unknown_algorithm": bytes([0, 2, 7, 0, 0, 0, 16]) + KEY16 + bytes([0, 0]) + DATA16,
        "null_output": bytes([1, 0, 0xF4, 0, 0, 16]) + KEY16 + bytes([0, 0]) + DATA16,
        # SM4 round trip: op, key, data
        "sm4_round_trip": bytes([2]) + KEY16 + DATA16 * 3,
        # SM2 round trip: op, flags, tamper position (2 bytes), tamper mask, private key, message
        "sm2_round_trip": bytes([3, 0, 0, 5, 0]) + PRIVATE32 + KEY16,
        "sm2_tampered_prefixed": bytes([3, 1, 0, 70, 0x01]) + PRIVATE32 + KEY16,
        "sm2_zero_private_key": bytes([3, 0, 0, 0, 0]) + bytes(32) + KEY16,
    },
    "simulator": {
        # key text: call, length mode, length parameter, text
        "main_key_text": bytes([0, 0, 0]) + b"0123456789:;<=>?" * 2,
        "work_key_text": bytes([1, 0, 0]) + b"0" * 32,
        # real encrypted key: call, length mode and parameter, position (2 bytes), change, key
        "main_key_genuine": bytes([2, 0, 0, 0, 0, 0]) + KEY16,
        "main_key_changed": bytes([2, 0, 0, 0, 10, 0x01]) + KEY16,
        "work_key_genuine": bytes([3, 0, 0, 0, 0, 0]) + DATA16,
        # serial number: call, flags, text
        "serial_number": bytes([4, 0]) + b"QV000001",
        # PDF file: call, timeout, flags, content
        "show_pdf": bytes([5, 30, 0]) + b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n",
        "confirm_pdf": bytes([6, 30, 0]) + b"%PDF-1.7\n",
        # path: call, timeout, path
        "show_missing_path": bytes([7, 30]) + b"missing.pdf",
        "confirm_directory_path": bytes([8, 0]) + b".",
    },
    "logpane": {
        # button (0 key pair, 1 PIN entry), code (4 bytes, big-endian), the device's output bytes
        "public_key": bytes([0]) + (0).to_bytes(4, "big") + SPLIT_NIBBLE * 8 + b"\0",
        "pin_block": bytes([1]) + (0).to_bytes(4, "big") + SPLIT_NIBBLE * 2 + b"\0",
        "html_forged_line": bytes([0]) + (-1).to_bytes(4, "big", signed=True)
        + "<b>0</b><br>(下载主密钥)SetPwMkey:[0] 00??10".encode() + b"\0",
        "image_white_text": bytes([1]) + (0).to_bytes(4, "big")
        + b'<img src="/dev/zero"><font color=white>hidden</font>\0',
        "control_characters": bytes([1]) + (0).to_bytes(4, "big")
        + "1\n(输入密码)\r\t\x1b[8m\x7f\x01".encode() + b"\0",
        "unicode_breaks": bytes([0]) + (0).to_bytes(4, "big")
        + "a\u0085b\u2028c\u2029d\ufffce\ufdd0".encode() + b"\0",
        "full_buffer_no_nul": bytes([1]) + (-2**31).to_bytes(4, "big", signed=True) + b"P" * 256,
        "not_utf8": bytes([0]) + (2**31 - 1).to_bytes(4, "big") + b"\xff\xfe\xc3(ok\0",
        "bidi_invisible": bytes([1]) + (0).to_bytes(4, "big")
        + "a\u202eb\u2066c\u200bd\ufeffe".encode() + b"\0",
        "wrapped_spaces": bytes([0]) + (0).to_bytes(4, "big")
        + b" " * 150 + "(下载主密钥)SetPwMkey:[0] 0123456789".encode() + b"\0",
        "ignorable_tags_escapes": bytes([0]) + (0).to_bytes(4, "big")
        + "a\u00adb\u3164c\ufe0fd\U000e0041e\U000f0000f\\x0Ag".encode() + b"\0",
    },
}


def main():
    corpus = HERE / "corpus"
    for target, seeds in SEEDS.items():
        directory = corpus / target
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for name, content in seeds.items():
            (directory / name).write_bytes(content)


if __name__ == "__main__":
    main()
