#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that holds every chunk it forwards for a fixed
delay in each direction, as a link with twice that round trip would, without
limiting the bandwidth. Prints its port, then relays each connection to the
target until it has served --connections of them, or until --lifetime
seconds have passed (it stops by itself either way).

    delay_proxy.py --target PORT [--delay-ms 25] [--connections N] [--lifetime S]
"""
import argparse
import asyncio
import sys


async def relay(reader, writer, delay):
    """Forwards what reader yields to writer, each chunk delay seconds after it came; passes the end on."""
    loop = asyncio.get_running_loop()
    chunks = asyncio.Queue()

    async def forward():
        while True:
            due, data = await chunks.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(forward())
    try:
        while True:
            data = await reader.read(1 << 16)
            chunks.put_nowait((loop.time() + delay, data))
            if not data:
                break
    except ConnectionError:
        chunks.put_nowait((loop.time() + delay, b""))
    await sender


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, default=25)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=1800)
    args = parser.parse_args()
    delay = args.delay_ms / 1000
    served = 0
    done = asyncio.Event()

    async def serve(client_reader, client_writer):
        nonlocal served
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target)
            await asyncio.gather(relay(client_reader, server_writer, delay), relay(server_reader, client_writer, delay),
                                 return_exceptions=True)
            server_writer.close()
        finally:
            client_writer.close()
            served += 1
            if served == args.connections:
                done.set()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    try:
        await asyncio.wait_for(done.wait(), args.lifetime)
    except asyncio.TimeoutError:
        print("delay_proxy: lifetime over", file=sys.stderr)
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
