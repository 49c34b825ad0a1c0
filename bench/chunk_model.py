#!/usr/bin/env python3
"""Line fraction of one write chunk at a time through a chip FIFO fed by the
simulated bus (the model beside the 3 Mbaud figures in the README's
Benchmarks section).

The bus as it is: a bulk OUT packet of 64 bytes goes into the FIFO whole or is
NAKed; a NAKed packet is sent again as soon as the FIFO has room for it, also
in the middle of a frame, while the frame has packets (19) and time left for
one. A chunk whose last packet went in completes at the end of its frame; the
next chunk (the write's next, or the application's next write, sent at that
instant) goes in from the start of the next frame. The line takes a character
every `10 / baud` seconds.

--frame-start models the bus before that: the FIFO was topped up only at the
start of each frame, with part of a packet when it had less room than 64; and
--miss, the bus before that again, where the first chunk of each write missed
the frame its previous write completed in.

The run is `total` bytes from the first write at a frame's start to the last
character off the line, as the benchmark streams it.
"""
import argparse

PACKET = 64
PACKETS_PER_FRAME = 19


def run(baud, chunk, write, fifo, total, frame_start, miss):
    """Answers the frames from the first write to the last character off the line."""
    per_frame = baud / 10 / 1000  # 8N1 characters per 1 ms frame
    level = 0.0  # characters in the FIFO
    sent = 0  # bytes handed to the FIFO
    write_left = 0
    chunk_left = 0
    wait = 0
    frame = 0
    while True:
        # Frame start: the completed chunk's successor joins.
        if chunk_left == 0 and sent < total:
            if wait:
                wait -= 1
            else:
                if write_left == 0:
                    write_left = min(write, total - sent)
                chunk_left = min(chunk, write_left)
                write_left -= chunk_left
        t = 0.0  # time in the frame the FIFO's level is known at
        if frame_start:
            take = min(fifo - level, chunk_left)
            level += take
            chunk_left -= take
            sent += take
            if take and chunk_left == 0 and write_left == 0 and miss:
                wait = 1
        else:
            # A packet goes in the moment the FIFO has room for it, within the
            # frame's packets and time.
            packets = 0
            while chunk_left and packets < PACKETS_PER_FRAME:
                size = min(PACKET, chunk_left)
                at = t + max(0.0, level + size - fifo) / per_frame
                if at > 1.0 or int((1.0 - at) * PACKETS_PER_FRAME) < 1:
                    break
                level -= (at - t) * per_frame
                t = at
                level += size
                chunk_left -= size
                sent += size
                packets += 1
        if sent >= total and chunk_left == 0 and t + level / per_frame <= 1.0:
            return frame + t + level / per_frame
        level = max(0.0, level - (1.0 - t) * per_frame)
        frame += 1


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--baud", type=int, default=3000000)
    p.add_argument("--chunk", type=int, default=1024)
    p.add_argument("--write", type=int, default=4096)
    p.add_argument("--fifo", type=int, default=512)
    p.add_argument("--total", type=int, default=262144)
    p.add_argument("--frame-start", action="store_true")
    p.add_argument("--miss", action="store_true")
    a = p.parse_args()
    per_frame = a.baud / 10 / 1000
    frames = run(a.baud, a.chunk, a.write, a.fifo, a.total, a.frame_start, a.miss)
    print(f"{a.total / per_frame / frames * 100:.1f} % of the line "
          f"({a.total} bytes in {frames:.1f} frames)")


if __name__ == "__main__":
    main()
