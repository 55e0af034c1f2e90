"""Small readers for the animation formats the baseline benchmark uses.

Each reader returns a float64 array of shape (frames, vertices, 3).
"""
import struct

import numpy as np


def read_pc2(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:12] != b"POINTCACHE2\0":
        raise ValueError(f"{path}: not a POINTCACHE2 file")
    version, points, _start, _rate, samples = struct.unpack_from("<iiffi", data, 12)
    if version != 1:
        raise ValueError(f"{path}: unsupported pc2 version {version}")
    count = samples * points * 3
    need = 32 + 4 * count
    if len(data) < need:
        raise ValueError(f"{path}: truncated ({len(data)} bytes, need {need})")
    xyz = np.frombuffer(data, dtype="<f4", count=count, offset=32)
    return xyz.reshape(samples, points, 3).astype(np.float64)


def read_md2(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"IDP2":
        raise ValueError(f"{path}: not an MD2 file")
    (version, _skin_w, _skin_h, frame_size, _n_skins, n_verts, _n_st, _n_tris,
     _n_gl, n_frames, _o_skins, _o_st, _o_tris, o_frames, _o_gl, _o_end) = \
        struct.unpack_from("<16i", data, 4)
    if version != 8:
        raise ValueError(f"{path}: unsupported MD2 version {version}")
    if frame_size != 40 + 4 * n_verts:
        raise ValueError(f"{path}: frame size {frame_size} does not match {n_verts} vertices")
    frames = np.empty((n_frames, n_verts, 3))
    for i in range(n_frames):
        base = o_frames + i * frame_size
        scale = np.array(struct.unpack_from("<3f", data, base))
        translate = np.array(struct.unpack_from("<3f", data, base + 12))
        packed = np.frombuffer(data, dtype=np.uint8, count=4 * n_verts, offset=base + 40)
        # The fourth byte of each vertex is a normal index, not a coordinate.
        frames[i] = packed.reshape(n_verts, 4)[:, :3] * scale + translate
    return frames


def count_obj_vertices(path):
    n = 0
    with open(path, "r", errors="replace") as f:
        for line in f:
            if line.startswith("v "):
                n += 1
    return n


def read_animation(path, topology=None):
    """Load frames; frame 0 is the rest pose."""
    lower = str(path).lower()
    if lower.endswith(".pc2"):
        frames = read_pc2(path)
        if topology is not None:
            n = count_obj_vertices(topology)
            if n != frames.shape[1]:
                raise ValueError(f"{topology} has {n} vertices, {path} has {frames.shape[1]}")
        return frames
    if lower.endswith(".md2"):
        return read_md2(path)
    raise ValueError(f"{path}: unknown animation format (expected .pc2 or .md2)")
