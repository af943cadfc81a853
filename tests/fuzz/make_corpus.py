#!/usr/bin/env python3
"""Writes the seed inputs of each fuzz target into corpus/<target>/: the values
the service meets in the field and the edge cases around them. Run once after a
change here; the files are committed."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(text):
    return text.encode('utf-16-le')


def f32(*values):
    return b''.join(struct.pack('<f', v) for v in values)


def u32(*values):
    return b''.join(struct.pack('<I', v & 0xFFFFFFFF) for v in values)


nan = float('nan')
inf = float('inf')
seeds = {
    'command_line': [
        b'', u16('-PnPTask'), u16('/pnptask'), u16('-PNPTASK\0extra'), u16('-install'), u16('/Uninstall'),
        u16('-'), u16('/'), u16('--PnPTask'), u16('-PnPTask '), u16('service'), u16('\0-PnPTask'),
        u16('-P\u0130PTask'), u16('-\uff30nPTask'),
    ],
    'owner_list': [
        b'\x40' + u16('oem7.inf\0oem9.inf\0\0') + u16('@oem7.inf,%KQD.SvcDesc%;kqd'),
        b'\x7f' + u16('oem7.inf\0\0'),
        b'\x00' + u16('@,,,oem12.inf,,x'),
        b'\x80' + u16('oem7.inf\0oem8.inf\0'),
        b'\x40' + u16('kqd\0oem1.inf\0\0') + u16('@kqd,desc'),
        b'\x40' + u16('oem7.inf') + b'\x00' + u16('@' + 'a' * 300),
        b'\x20' + u16('\0oem1.inf\0') + u16('@oem1.inf'),
        b'\x7f' + u16('x' * 270 + '\0oem1.inf'),
        b'\x40\x61',
    ],
    'release_id': [
        u16('1903'), u16('1809'), u16('2009'), u16(' \t+1903'), u16('-1903'), u16('1903abc'),
        u16('99999999999999999999'), u16('-2147483648'), u16('2147483648'), u16('\u0661\u0669'),
        u16('19\x0003'), u16(''), u16('+'), u16('\v\f\r\n42'),
    ],
    'driver_answer': [
        u32(0x0002000C, 0), u32(0x00020001, 0x20000000), u32(0x00020003, 0), u32(0x00020004, 0),
        u32(0x00020005, 0xFFFFFFFF), u32(0x00010005, 0), u32(0x00050001, 0), u32(0x00000001, 0),
        u32(0xFFFF0003, 0x20000000), u32(0x00040000, 0xDFFFFFFF),
    ],
    'posture_rule': [
        u32(0) + f32(100, 0, 189.9, 0, 192.9, 0, 193, 0, 351, 0, 348, 0, 347, 200),
        u32(1) + f32(200, 179.9, 200, 182.9, 200, 183, 200, 177.1, 200, 177),
        u32(3) + f32(5, 0, 9.99, 0, 10, 180, 352.9, 180, 353, 180),
        u32(4) + f32(nan, 0, 200, nan, nan, nan, 200, 200, inf, -inf, -inf, inf),
        u32(7) + f32(1e-45, 1e-45, -0.0, 0.0, 3.4e38, -3.4e38),
    ],
    'wmi_data': [
        u32(2) + u16('GetUsageMode'), u32(7) + u16('GetUsageMode'), u32(0xFFFFFFFF) + u16('GetUsageMode'),
        u32(0x43B40000) + u16('GetAngle6Value'), u32(0x7FC00001) + u16('GetAngle5Value'),
        u32(1) + u16('getusagemode'), u32(1) + u16('GetXaxisValue'), u32(1) + u16('GetAngle7Value'),
        u32(1) + u16('GetUsageMode\0'),
    ],
}

for target, inputs in seeds.items():
    folder = os.path.join(HERE, 'corpus', target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for i, data in enumerate(inputs):
        with open(os.path.join(folder, 'seed-%02d' % i), 'wb') as f:
            f.write(data)
