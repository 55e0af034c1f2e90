#!/usr/bin/python3
"""Quick self-checks for the baseline decomposition on synthetic data."""
import os
import struct
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import decompose as dc  # noqa: E402
from animation_files import read_animation  # noqa: E402


def random_rotations(rng, n):
    q = rng.normal(size=(n, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    w, x, y, z = q.T
    return np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)], -1),
        np.stack([2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)], -1),
        np.stack([2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)], -1),
    ], -2)


def check_procrustes():
    rng = np.random.default_rng(1)
    src = rng.normal(size=(50, 3))
    R = random_rotations(rng, 4)
    t = rng.normal(size=(4, 3))
    Rf, tf = dc.rigid_fit(src, dc.apply(R, t, src))
    assert np.allclose(Rf, R, atol=1e-9) and np.allclose(tf, t, atol=1e-9)
    # A mirrored target must still give proper rotations.
    Rm, _ = dc.rigid_fit(src, (src * [1, 1, -1])[None])
    assert np.allclose(np.linalg.det(Rm), 1.0)


def check_exact_rig():
    """Data made by a K=2 rig with rigid segments: the fit should be near exact."""
    rng = np.random.default_rng(2)
    B, V, F = 4, 400, 12
    P = rng.uniform(-1, 1, size=(V, 3)) * [4, 1, 1]
    # Bones along x; each vertex blends its two nearest bone centres.
    centres = np.linspace(-3, 3, B)
    dist = np.abs(P[:, :1] - centres[None])
    W = np.zeros((V, B))
    near = np.argsort(dist, 1)[:, :2]
    a = dist[np.arange(V), near[:, 1]] / dist[np.arange(V)[:, None], near].sum(1)
    W[np.arange(V), near[:, 0]] = a
    W[np.arange(V), near[:, 1]] = 1 - a
    R = random_rotations(rng, B * F).reshape(B, F, 3, 3)
    t = rng.normal(size=(B, F, 3))
    frames = np.concatenate([P[None], dc.blend(P, W, R, t)])
    We, Re, te = dc.decompose(frames, B, 2, 30, 0)
    res = dc.measure(frames, We, Re, te)
    assert np.allclose(We.sum(1), 1) and (We >= 0).all() and ((We > 0).sum(1) <= 2).all()
    print(f"exact rig: E_RMS {res['e_rms']:.4g}")
    assert res["e_rms"] < 1.0, res


def check_pc2_reader():
    rng = np.random.default_rng(3)
    frames = rng.normal(size=(3, 5, 3)).astype(np.float32)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "a.pc2")
        with open(path, "wb") as f:
            f.write(b"POINTCACHE2\0" + struct.pack("<iiffi", 1, 5, 0.0, 1.0, 3))
            f.write(frames.astype("<f4").tobytes())
        obj = os.path.join(d, "a.obj")
        with open(obj, "w") as f:
            f.write("v 0 0 0\n" * 5 + "f 1 2 3\n")
        assert np.array_equal(read_animation(path, obj), frames)


if __name__ == "__main__":
    check_procrustes()
    check_pc2_reader()
    check_exact_rig()
    print("ok")
