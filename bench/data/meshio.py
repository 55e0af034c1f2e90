"""Shared writers for the benchmark datasets: PC2 point caches, OBJ topology,
JSON files, and manifest entries. Used by the plain-Python generators and by
the scripts that run inside Blender (same system Python 3 and numpy)."""

import json
import os
import struct

import numpy as np

PC2_SIGNATURE = b"POINTCACHE2\0"


def write_pc2(path, frames, fps, start_frame=0.0):
    """frames: array (F, V, 3). PC2 counts time in scene frames, which readers
    take as 24 per second, so the sample rate is the scene frames per sample."""
    frames = np.ascontiguousarray(frames, dtype="<f4")
    if frames.ndim != 3 or frames.shape[2] != 3:
        raise ValueError("frames must be (F, V, 3)")
    count, points = frames.shape[0], frames.shape[1]
    with open(path, "wb") as f:
        f.write(PC2_SIGNATURE)
        f.write(struct.pack("<iiffi", 1, points, float(start_frame), 24.0 / float(fps), count))
        f.write(frames.tobytes())


def read_pc2(path):
    """Returns (frames (F, V, 3) float32, fps) for checks."""
    with open(path, "rb") as f:
        head = f.read(32)
        if head[:12] != PC2_SIGNATURE:
            raise ValueError(path + ": not a PC2 file")
        _, points, _, rate, count = struct.unpack("<iiffi", head[12:])
        data = np.frombuffer(f.read(), dtype="<f4")
    return data.reshape(count, points, 3), 24.0 / rate


def write_obj(path, positions, triangles, uvs=None, uv_triangles=None, comment=None):
    """positions (V, 3); triangles (T, 3) 0-based; optional uvs (U, 2) with
    uv_triangles (T, 3) indexing them (UV seams need their own corners)."""
    positions = np.asarray(positions, dtype=np.float64)
    triangles = np.asarray(triangles, dtype=np.int64) + 1
    lines = []
    if comment:
        lines.extend("# " + c for c in comment.splitlines())
    lines.extend("v %.6f %.6f %.6f" % tuple(p) for p in positions)
    if uvs is not None:
        uv_triangles = np.asarray(uv_triangles, dtype=np.int64) + 1
        lines.extend("vt %.6f %.6f" % tuple(t) for t in np.asarray(uvs, dtype=np.float64))
        lines.extend("f %d/%d %d/%d %d/%d" % (a, ta, b, tb, c, tc)
                     for (a, b, c), (ta, tb, tc) in zip(triangles, uv_triangles))
    else:
        lines.extend("f %d %d %d" % tuple(t) for t in triangles)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def write_json(path, data, compact=False):
    with open(path, "w") as f:
        if compact:
            json.dump(data, f, separators=(",", ":"))
        else:
            json.dump(data, f, indent=1)
        f.write("\n")


def write_entry(out_dir, entry):
    """Each generator leaves its manifest entry beside its files
    (NAME.entry.json); make-datasets gathers them into manifest.json, so
    generators run in any order or in separate processes (Blender)."""
    write_json(os.path.join(out_dir, entry["name"] + ".entry.json"), entry)


def cache_entry(name, kind, out_dir, cache, topology, frames, vertices, triangles, fps, extra=None):
    """A manifest entry for a PC2 + OBJ dataset; paths are relative to the
    dataset folder."""
    entry = {
        "name": name,
        "kind": kind,
        "files": {"cache": cache, "topology": topology},
        "vertices": int(vertices),
        "triangles": int(triangles),
        "frames": int(frames),
        "fps": float(fps),
        "decompose_args": [cache, "--topology", topology],
    }
    if extra:
        entry.update(extra)
    return entry


def grid_triangles(rows, cols, offset=0):
    """Two triangles per quad of a rows x cols vertex grid (row-major),
    split along alternating diagonals so the mesh has no preferred direction."""
    tris = []
    for r in range(rows - 1):
        for c in range(cols - 1):
            a = offset + r * cols + c
            b, d, e = a + 1, a + cols, a + cols + 1
            if (r + c) % 2 == 0:
                tris += [(a, b, e), (a, e, d)]
            else:
                tris += [(a, b, d), (b, e, d)]
    return np.array(tris, dtype=np.int64)


def write_manifest(out_dir):
    """Gathers every NAME.entry.json of the folder into manifest.json."""
    entries = []
    for file in sorted(os.listdir(out_dir)):
        if file.endswith(".entry.json"):
            with open(os.path.join(out_dir, file)) as f:
                entries.append(json.load(f))
    write_json(os.path.join(out_dir, "manifest.json"), {
        "about": "Real-animation datasets made by bench/data/make-datasets. Paths are relative to this "
                 "folder; run: vantrel decompose <decompose_args...> -o OUT.glb",
        "datasets": entries,
    })
    return entries
