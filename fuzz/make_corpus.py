#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/.

The seeds are the well-formed cases each target starts from; the fuzzers
mutate them. Run again after changing a layout: python3 fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def i32(*values):
    return b"".join(struct.pack("<i", v) for v in values)


def f32(*values):
    return b"".join(struct.pack("<f", v) for v in values)


def midi_record(delta, note):
    # tag, then the first 30 bytes of a VstMidiEvent
    body = i32(1, 32, delta, 1, 0, 0) + bytes([0x90, note, 100, 0]) + bytes([0, 0])
    return b"\x00" + body


def sysex_record(delta, data):
    # tag, type, byteSize, deltaFrames, flags, dumpBytes, alignment gap (64-bit), data
    return b"\x00" + i32(6, 48, delta, 0, len(data)) + b"\x00" * 4 + data


EVENTS = midi_record(0, 60) + sysex_record(3, b"\xf0\x43\x10\xf7") + midi_record(7, 64)


def wait_seeds():
    def process(width, channels, frames):
        return i32(11, width, channels, frames) + b"\x01" * (width * channels * frames)

    messages = {
        "hello": i32(4) + b"\x02\x09",
        "set_io": i32(6) + i32(2, 2, 1, 1),
        "sample_rate": i32(7) + f32(48000.0),
        "block_size": i32(8) + i32(512) + b"\x00" * 88,
        "time_info": i32(9) + b"\x00" * 88,
        "events": i32(10, len(EVENTS)) + EVENTS,
        "process_f32": i32(11, 4, 2, 8) + f32(*([0.5] * 16)),
        "process_s16": process(2, 2, 8),
        "process_f24": process(3, 1, 5),
        "process_u8": process(1, 3, 4),
        "process_empty": i32(11, 4, 0, 0),
        "get_info": i32(16, 1, 2, 3),
        "no_payload": i32(12) + i32(13) + i32(1),
        "failure": i32(-1),
    }
    seeds = {}
    for name, body in messages.items():
        seeds[name] = bytes([0xFF, 0x00, 0x02]) + body
    seeds["all_one_byte_reads"] = bytes([0x00, 0x08, 0x00]) + b"".join(messages[k] for k in messages if k != "failure")
    return seeds


def walk_seeds():
    return {
        "midi": b"\x00\x00" + midi_record(0, 60),
        "sysex": b"\x00\x00" + sysex_record(0, b"\xf0\x7e\x7f\x09\x01\xf7"),
        "mixed_split": bytes([31, 0]) + EVENTS,
        "host_takes_none": bytes([0, 0x80]) + EVENTS,
    }


def chunk_seeds():
    four = b"Host=localhost\nPort=19284\nSynch=1\nCfgDlg=1\nTrmSlave=1\nAudioPrec=4\n\x00"
    seven = (b"Host=127.0.0.1\nPort=20000\nSynch=0\nCfgDlg=0\nTrmSlave=0\nAudioPrec=2\n"
             b"NumInputs=4\nNumOutputs=6\nStereoPins=1\x00")
    return {
        "defaults": b"\x00" + four,
        "seven": b"\x00" + seven,
        "lower_case_keys": b"\x00host=slave.example\nport=1234\naudioprec=16bit signed int\x00",
        "crlf": b"\x00Host=box\r\nPort=99\r\nSynch=off\r\n\x00",
        "cut_by_size": b"\x02Host=a\nPort=5\nAudioPrec=1",
        "long_host": b"\x00Host=" + b"h" * 300 + b"\nPort=-7\x00",
        "words_last_line": b"\x00NumOutputs=99\nStereoPins=on\x00",
    }


def string_seeds():
    texts = {
        "synch_off": (0, b"off"), "cfg_on": (1, b"ON"), "trm_number": (2, b" -3"),
        "prec_name": (3, b"16BIT SIGNED INT"), "prec_number": (3, b"+9"), "inputs": (4, b"99"),
        "outputs": (5, b"0"), "stereo": (6, b"1"), "bad_index": (7, b"1"), "negative_index": (0xFF, b"1"),
        "word_with_space": (0, b"on "), "empty": (3, b""),
    }
    return {name: bytes([index]) + text for name, (index, text) in texts.items()}


def store_seeds():
    full = b"NumInputs=2\nNumOutputs=2\nConfigDlg=0\nTermSlave=1\nStereoPins=0\nAudioPrec=4\n"
    return {
        "full": b"\x00" + full,
        "crlf_and_blanks": b"\x01NumInputs = 3 \r\nnumoutputs=\t5\r\n",
        "unknown_lines": b"\x02# comment\nOther=1\n\nAudioPrec=-2147483648\nNoEquals\n",
        "overflow": b"\x03AudioPrec=2147483648\nNumInputs=99999999999\n",
        "no_final_newline": b"\x04StereoPins=1",
        "empty": b"\x05",
    }


def slave_reader_seeds():
    # Byte 0: settings (1 gain, 2 echo, 4/8 SysEx record size, 16 silent, 32 tracing); byte 1: piece size.
    def process(width, channels, frames, events=b""):
        audio = bytes((i * 7) & 0xFF for i in range(width * channels * frames))
        return i32(11) + b"\x00" * 88 + i32(len(events)) + events + i32(width, channels, frames) + audio

    handshake = (i32(3) + b"\x02\x09" + i32(5, 2, 2, 1, 1) + i32(7) + f32(48000.0) + i32(8, 64) + i32(16)
                 + i32(1) + i32(13))
    return {
        "session_f32": b"\x00\xff" + handshake + process(4, 2, 64) + process(4, 2, 64) + i32(12, 2),
        "gain_each_precision": b"\x01\x03" + handshake + process(1, 2, 8) + process(2, 2, 8)
        + process(3, 1, 5) + process(4, 2, 8),
        "echo_events": b"\x02\x00" + handshake + process(4, 1, 16, EVENTS) + i32(2),
        "echo_32bit_sysex": b"\x06\x10" + handshake + process(2, 1, 4, EVENTS),
        "no_inputs_many_outputs": b"\x00\x40" + i32(5, 0, 16, 1, 1) + process(4, 0, 32),
        "silent_traced": b"\x30\x05" + handshake + process(4, 2, 16) + i32(16),
        "cut_inside_block": b"\x00\x01" + handshake + process(4, 2, 64)[:150],
        "garbage_code": b"\x00\x00" + i32(3) + b"\x01\x01" + i32(99, 0),
    }


def main():
    targets = {
        "fuzz_wait": wait_seeds(),
        "fuzz_event_walk": walk_seeds(),
        "fuzz_set_chunk": chunk_seeds(),
        "fuzz_string2parameter": string_seeds(),
        "fuzz_user_store": store_seeds(),
        "fuzz_slave_reader": slave_reader_seeds(),
    }
    for target, seeds in targets.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
