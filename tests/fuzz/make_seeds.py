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

SEEDS = {
    "codecs": {
        # length mode, length parameter, payload
        "whole_00ff": bytes([0, 0]) + b"\x00\xff",
        "whole_12ab": bytes([0, 0]) + b"\x12\xab",
        "prefix_odd_text": bytes([4, 5]) + b"12:;=>?0",
        "negative_length": bytes([6, 0]) + b"AB01",
        "mixed_case_hex": bytes([0, 0]) + b"aB0g1f",
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
