#!/usr/bin/python3
"""A meter behind a transparent serial-to-Ethernet converter, for the tests:
pymodbus (Debian python3-pymodbus, 3.0) serving RTU frames over TCP on
127.0.0.1, on a free port it writes to PORT_FILE once it listens.

    rtu_over_tcp_server.py PORT_FILE

Unit 5 answers; requests to any other unit get no reply, as on a real line.
Its registers (protocol addresses) hold values that a wrong decoding cannot
give by chance:
    input 0..1     float32 230.5, high word first (0x4366 0x8000)
    holding 10..11 int32 -123456, high word first (0xFFFE 0x1DC0)
    holding 12     uint16 4660 (0x1234)
Both tables have registers 0..19 only: a read beyond gets exception 2.
"""
import asyncio
import os
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer

UNIT = 5


def registers(values):
    block = [0] * 20
    for address, value in values.items():
        block[address] = value
    return ModbusSequentialDataBlock(0, block)


async def serve(port_file):
    unit = ModbusSlaveContext(
        ir=registers({0: 0x4366, 1: 0x8000}),
        hr=registers({10: 0xFFFE, 11: 0x1DC0, 12: 0x1234}),
        zero_mode=True)
    context = ModbusServerContext(slaves={UNIT: unit}, single=False)
    server = ModbusTcpServer(context, framer=ModbusRtuFramer, address=("127.0.0.1", 0),
                             ignore_missing_slaves=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    port = server.server.sockets[0].getsockname()[1]
    with open(port_file + ".tmp", "w", encoding="ascii") as f:
        f.write(str(port))
    # Renamed into place so that a reader never sees a half-written file.
    os.rename(port_file + ".tmp", port_file)
    await task


if __name__ == "__main__":
    asyncio.run(serve(sys.argv[1]))
