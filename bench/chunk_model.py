#!/usr/bin/env python3
"""Line fraction of one write chunk at a time through a chip FIFO that the
simulated bus tops up only at frame starts (the model beside the 3 Mbaud
figures in the README's Benchmarks section).

Per 1 ms frame: if a chunk is on the pipe, the FIFO is filled from it up to
its size; the line then takes `rate` bytes out. A chunk whose last byte went in
completes at the start of the next frame, where the next chunk joins, or, with
--miss, the first chunk of each write misses that frame and goes in the one
after (what the bus did before a frame could take work sent after its first
service).
"""
import argparse


def line_fraction(rate, chunk, write, fifo, frames, miss):
    level = 0.0
    chunk_left = chunk
    write_left = write - chunk
    wait = 0
    sent = 0.0
    for _ in range(frames):
        if chunk_left == 0:
            if wait:
                wait -= 1
            else:
                if write_left == 0:
                    write_left = write
                chunk_left = min(chunk, write_left)
                write_left -= chunk_left
        if chunk_left:
            take = min(fifo - level, chunk_left)
            level += take
            chunk_left -= take
            if chunk_left == 0 and write_left == 0 and miss:
                wait = 1
        out = min(level, rate)
        level -= out
        sent += out
    return sent / (frames * rate)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--baud", type=int, default=3000000)
    p.add_argument("--chunk", type=int, default=1024)
    p.add_argument("--write", type=int, default=4096)
    p.add_argument("--fifo", type=int, default=512)
    p.add_argument("--frames", type=int, default=40000)
    p.add_argument("--miss", action="store_true")
    a = p.parse_args()
    rate = a.baud / 10 / 1000  # 8N1 characters per 1 ms frame
    f = line_fraction(rate, a.chunk, a.write, a.fifo, a.frames, a.miss)
    print(f"{f * 100:.1f} % of the line")


if __name__ == "__main__":
    main()
