#!/usr/bin/env python3
"""A morph-target glTF: a head-like blob with four shape keys (two cheek
bulges, a jaw that opens, a twist of the top) whose weights vary smoothly
over the animation. Writes NAME.gltf (one JSON file, embedded base64 buffer)
and a manifest entry."""

import argparse
import base64
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import meshio  # noqa: E402


def blob(rings, segments):
    """A slightly egg-shaped sphere, Y-up, radius about 1; the seam column is
    duplicated so the texture coordinates wrap."""
    lat = np.linspace(0, math.pi, rings)
    lon = np.linspace(0, 2 * math.pi, segments + 1)
    la, lo = np.meshgrid(lat, lon, indexing="ij")
    x = np.sin(la) * np.cos(lo)
    z = np.sin(la) * np.sin(lo)
    y = np.cos(la)
    # A longer back of the head and a narrower chin than a sphere.
    scale = 1.0 + 0.12 * y - 0.08 * np.clip(-y, 0, 1) * (1 + z)
    pos = np.stack([x * scale * 0.85, y * 1.1, z * scale], -1).reshape(-1, 3)
    uv = np.stack([lo / (2 * math.pi), la / math.pi], -1).reshape(-1, 2)
    cols = segments + 1
    tris = []
    for r in range(rings - 1):
        for c in range(segments):
            a, b = r * cols + c, r * cols + c + 1
            d, e = a + cols, b + cols
            if r > 0:
                tris.append((a, b, d))
            if r < rings - 2:
                tris.append((b, e, d))
    return pos, uv, np.array(tris)


def bump(pos, centre, width, height):
    """A smooth bulge along the outward direction around a surface point."""
    n = pos / np.linalg.norm(pos, axis=1, keepdims=True)
    d2 = ((pos - centre) ** 2).sum(1)
    return n * (height * np.exp(-d2 / (2 * width * width)))[:, None]


def targets(pos):
    left = bump(pos, np.array([0.55, -0.15, 0.7]), 0.28, 0.22)
    right = bump(pos, np.array([-0.55, -0.15, 0.7]), 0.28, 0.22)
    # Jaw: the lower front turns down about a hinge behind the mouth.
    hinge = np.array([0.0, -0.1, -0.2])
    angle = math.radians(28)
    lower = np.clip((-(pos[:, 1] + 0.1)) / 0.3, 0, 1) * np.clip((pos[:, 2] + 0.6) / 0.6, 0, 1)
    rel = pos - hinge
    rot_y = rel[:, 1] * math.cos(angle) - rel[:, 2] * math.sin(angle)
    rot_z = rel[:, 1] * math.sin(angle) + rel[:, 2] * math.cos(angle)
    jaw = np.zeros_like(pos)
    jaw[:, 1] = (rot_y - rel[:, 1]) * lower
    jaw[:, 2] = (rot_z - rel[:, 2]) * lower
    # Twist: the top turns about Y, more the higher it is.
    a = math.radians(35) * np.clip((pos[:, 1] + 0.2) / 1.3, 0, 1) ** 2
    twist = np.zeros_like(pos)
    twist[:, 0] = pos[:, 0] * np.cos(a) - pos[:, 2] * np.sin(a) - pos[:, 0]
    twist[:, 2] = pos[:, 0] * np.sin(a) + pos[:, 2] * np.cos(a) - pos[:, 2]
    return [("cheek_left", left), ("cheek_right", right), ("jaw_open", jaw), ("twist", twist)]


def weight_curves(frames, count):
    """Smooth key weights in [0, 1], each with its own period and phase."""
    t = np.arange(frames) / max(frames - 1, 1)
    periods = [1.0, 0.7, 0.5, 1.0 / 1.5]
    phases = [0.0, 1.3, 2.1, 0.6]
    return np.stack([0.5 - 0.5 * np.cos(2 * math.pi * t / p + ph) for p, ph in zip(periods[:count], phases[:count])], 1)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True)
    ap.add_argument("--name", default="morph-blob")
    ap.add_argument("--frames", type=int, default=100)
    ap.add_argument("--fps", type=float, default=30.0)
    ap.add_argument("--rings", type=int, default=41)
    ap.add_argument("--segments", type=int, default=60)
    args = ap.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)

    pos, uv, tris = blob(args.rings, args.segments)
    keys = targets(pos)
    weights = weight_curves(args.frames, len(keys))
    times = np.arange(args.frames) / args.fps

    # One buffer: each piece 4-byte aligned, one buffer view per accessor.
    blobs, views, accessors = [], [], []
    offset = 0

    def add(array, component, gltf_type, target=None, minmax=False):
        nonlocal offset
        data = np.ascontiguousarray(array).tobytes()
        view = {"buffer": 0, "byteOffset": offset, "byteLength": len(data)}
        if target:
            view["target"] = target
        views.append(view)
        blobs.append(data + b"\0" * (-len(data) % 4))
        offset += len(data) + (-len(data) % 4)
        acc = {"bufferView": len(views) - 1, "componentType": component,
               "count": int(len(array)), "type": gltf_type}
        if minmax:
            acc["min"] = np.asarray(array).min(0).astype(float).reshape(-1).tolist()
            acc["max"] = np.asarray(array).max(0).astype(float).reshape(-1).tolist()
        accessors.append(acc)
        return len(accessors) - 1

    FLOAT, UINT = 5126, 5125
    ARRAY, ELEMENTS = 34962, 34963
    a_pos = add(pos.astype("<f4"), FLOAT, "VEC3", ARRAY, minmax=True)
    a_uv = add(uv.astype("<f4"), FLOAT, "VEC2", ARRAY)
    a_idx = add(tris.reshape(-1).astype("<u4"), UINT, "SCALAR", ELEMENTS)
    a_targets = [add(d.astype("<f4"), FLOAT, "VEC3", ARRAY, minmax=True) for _, d in keys]
    a_time = add(times.astype("<f4").reshape(-1, 1), FLOAT, "SCALAR", minmax=True)
    a_w = add(weights.astype("<f4").reshape(-1, 1), FLOAT, "SCALAR")
    accessors[a_time]["count"] = args.frames
    accessors[a_w]["count"] = args.frames * len(keys)

    buffer = b"".join(blobs)
    gltf = {
        "asset": {"version": "2.0", "generator": "vantrel bench/data/morph_gltf.py"},
        "scene": 0,
        "scenes": [{"nodes": [0]}],
        "nodes": [{"name": args.name, "mesh": 0}],
        "meshes": [{
            "name": args.name,
            "primitives": [{"attributes": {"POSITION": a_pos, "TEXCOORD_0": a_uv}, "indices": a_idx,
                            "targets": [{"POSITION": a} for a in a_targets], "mode": 4}],
            "weights": [0.0] * len(keys),
            "extras": {"targetNames": [n for n, _ in keys]},
        }],
        "animations": [{
            "name": "shapes",
            "samplers": [{"input": a_time, "output": a_w, "interpolation": "LINEAR"}],
            "channels": [{"sampler": 0, "target": {"node": 0, "path": "weights"}}],
        }],
        "buffers": [{"byteLength": len(buffer),
                     "uri": "data:application/octet-stream;base64," + base64.b64encode(buffer).decode()}],
        "bufferViews": views,
        "accessors": accessors,
    }
    path = os.path.join(args.out, args.name + ".gltf")
    meshio.write_json(path, gltf, compact=True)
    meshio.write_entry(args.out, {
        "name": args.name, "kind": "gltf-morph", "files": {"animation": args.name + ".gltf"},
        "vertices": int(len(pos)), "triangles": int(len(tris)), "frames": args.frames, "fps": args.fps,
        "morph_targets": [n for n, _ in keys], "decompose_args": [args.name + ".gltf"],
    })
    print("%s: %d vertices, %d triangles, %d frames, %d morph targets"
          % (args.name, len(pos), len(tris), args.frames, len(keys)))


if __name__ == "__main__":
    main()
