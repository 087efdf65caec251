#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""An OpenPGP card (version 3.4) with PINs that count and lock, plugged into pcscd's virtual reader.

openpgp_card.py PORT: connects to the virtual reader on 127.0.0.1:PORT (vsmartcard's vpcd) and
answers it until the reader goes away; stopping this process is the card pulled out. User PIN
123456, administrator PIN 12345678, three tries each. Only what a PKCS#11 module needs to list the
card and check, change and unblock its PINs is there: no keys.
"""
import socket
import struct
import sys

AID = bytes.fromhex("D27600012401") + bytes([3, 4]) + bytes.fromhex("FFFE") + bytes.fromhex("13572468") + b"\0\0"
HISTORICAL = bytes.fromhex("0031F573C00160009000")
ATR = bytes.fromhex("3BDA18FF81B1FE751F030031F573C001600090001C")
TRIES = 3


class Card:
    def __init__(self):
        # References 0x81 and 0x82 are the one user PIN (PW1), 0x83 the administrator's (PW3).
        self.pins = {0x81: b"123456", 0x83: b"12345678"}
        self.tries = {0x81: TRIES, 0x83: TRIES}
        self.verified = set()

    def pw_status(self):
        return bytes([1, 127, 127, 127, self.tries[0x81], 0, self.tries[0x83]])

    def data_object(self, tag):
        tlv = lambda t, v: t + bytes([len(v)]) + v
        discretionary = (tlv(b"\xc0", bytes.fromhex("00000000000000000000")) +
                         b"".join(tlv(t, bytes.fromhex("010800001100")) for t in (b"\xc1", b"\xc2", b"\xc3")) +
                         tlv(b"\xc4", self.pw_status()) + tlv(b"\xc5", bytes(60)) + tlv(b"\xc6", bytes(60)) +
                         tlv(b"\xcd", bytes(12)))
        objects = {
            0x004F: AID,
            0x5F52: HISTORICAL,
            0x00C4: self.pw_status(),
            0x006E: tlv(b"\x4f", AID) + tlv(b"\x5f\x52", HISTORICAL) + b"\x73\x81" + bytes([len(discretionary)]) + discretionary,
            0x0065: tlv(b"\x5b", b"") + tlv(b"\x5f\x2d", b"en") + tlv(b"\x5f\x35", b"9"),
            0x007A: tlv(b"\x93", bytes(3)),
            0x005E: b"", 0x5F50: b"", 0x7F21: b"", 0x0101: b"", 0x0102: b"",
        }
        return objects.get(tag)

    def check(self, ref, pin):
        """Spends a try on a wrong PIN; a right one restores them, unless none were left."""
        if self.tries[ref] == 0:
            return b"\x69\x83"
        if pin != self.pins[ref]:
            self.tries[ref] -= 1
            self.verified.discard(ref)
            return b"\x69\x83" if self.tries[ref] == 0 else bytes([0x63, 0xC0 | self.tries[ref]])
        self.tries[ref] = TRIES
        self.verified.add(ref)
        return b"\x90\x00"

    def apdu(self, command):
        ins, p1, p2 = command[1], command[2], command[3]
        data = command[5:5 + command[4]] if len(command) > 5 else b""
        ref = 0x81 if p2 == 0x82 else p2
        if ins == 0xA4:  # SELECT: the OpenPGP application, by its AID's first six bytes
            return b"\x90\x00" if p1 == 0x04 and AID.startswith(data[:6]) and len(data) >= 6 else b"\x6a\x82"
        if ins == 0xA5:  # SELECT DATA: which certificate GET DATA 7F21 reads; there is none
            return b"\x90\x00"
        if ins == 0xCA:  # GET DATA
            value = self.data_object(p1 << 8 | p2)
            return b"\x6a\x88" if value is None else value + b"\x90\x00"
        if ins == 0x20 and ref in self.pins:  # VERIFY; without data, the state of the PIN
            if not data:
                if self.tries[ref] == 0:
                    return b"\x69\x83"
                return b"\x90\x00" if ref in self.verified else bytes([0x63, 0xC0 | self.tries[ref]])
            return self.check(ref, data)
        if ins == 0x24 and ref in self.pins:  # CHANGE REFERENCE DATA: old PIN then new
            old = len(self.pins[ref])
            status = self.check(ref, data[:old])
            if status == b"\x90\x00":
                if len(data) - old < 6:
                    return b"\x67\x00"
                self.pins[ref] = data[old:]
            return status
        if ins == 0x2C and p1 == 0x02 and p2 == 0x81:  # RESET RETRY COUNTER after the administrator PIN
            if 0x83 not in self.verified:
                return b"\x69\x82"
            if len(data) < 6:
                return b"\x67\x00"
            self.pins[0x81], self.tries[0x81] = data, TRIES
            return b"\x90\x00"
        return b"\x6d\x00"


def main():
    reader = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    card = Card()
    while True:
        # The reader writes length and command apart: an acknowledgement held back would hold the
        # command 40 ms.
        reader.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        head = reader.recv(2, socket.MSG_WAITALL)
        if len(head) < 2:
            return
        reader.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)  # the kernel drops it again
        message = reader.recv(struct.unpack(">H", head)[0], socket.MSG_WAITALL)
        if len(message) == 1:  # power off (0), power on (1), reset (2), or ATR wanted (4)
            if message[0] in (0, 2):
                card.verified.clear()
            if message[0] != 4:
                continue
            answer = ATR
        else:
            answer = card.apdu(message)
        reader.sendall(struct.pack(">H", len(answer)) + answer)


if __name__ == "__main__":
    main()
