#!/usr/bin/python3
"""A Modbus TCP server of pymodbus for the driver's tests.

usage: pymodbus_server.py PORT [BASE]          Modbus TCP on 127.0.0.1:PORT
       pymodbus_server.py rtu DEVICE [BASE]    Modbus RTU on a serial line, 19200 8N1
Holding register N holds BASE + N (BASE 1000; N from 0, 400 of them), input
register N holds 2000 + N, coils alternate 1, 0, 0, 1 from coil 0. Answers
any unit id; addresses are zero-based (zero_mode), as the Modbus library
sends them. Prints "ready" just before it serves.
"""
import logging
import socket
import sys
import time

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer, StartTcpServer
from pymodbus.transaction import ModbusRtuFramer

logging.basicConfig(level=logging.ERROR)
rtu = sys.argv[1] == "rtu"
base = int(sys.argv[3 if rtu else 2]) if len(sys.argv) > (3 if rtu else 2) else 1000
slave = ModbusSlaveContext(
    di=ModbusSequentialDataBlock(0, [0] * 100),
    co=ModbusSequentialDataBlock(0, [1, 0, 0, 1] * 25),
    hr=ModbusSequentialDataBlock(0, [base + n for n in range(400)]),
    ir=ModbusSequentialDataBlock(0, [2000 + n for n in range(100)]),
    zero_mode=True,
)
context = ModbusServerContext(slaves=slave, single=True)
if rtu:
    print("ready", flush=True)
    StartSerialServer(context=context, framer=ModbusRtuFramer, port=sys.argv[2], baudrate=19200)
else:
    # A server started again on its port finds the old server's connections
    # in TIME_WAIT: bind with address reuse, as devices do (pymodbus binds
    # without it by default and then fails without a word), and wait until
    # the old process has let go of the port.
    port = int(sys.argv[1])
    for _ in range(150):
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
            probe.close()
            break
        except OSError:
            probe.close()
            time.sleep(0.1)
    print("ready", flush=True)
    StartTcpServer(context=context, address=("127.0.0.1", port), allow_reuse_address=True)
