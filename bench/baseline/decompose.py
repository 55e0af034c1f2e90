#!/usr/bin/python3
"""Plain linear-blend-skinning decomposition, used as a reference point by the
fit-quality benchmark.

Textbook scheme: k-means on the rest pose, refinement by clustering on rigid
motion, then alternating non-negative weight fitting and per-bone weighted
Procrustes.  Frame 0 is the rest pose; frames 1..N-1 are fitted.
"""
import argparse
import json
import os
import sys
import time

import numpy as np
from scipy.optimize import nnls

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from animation_files import read_animation  # noqa: E402


# ---------------------------------------------------------------- geometry

def proper_rotations(H):
    """Rotations maximising trace(R H) for a batch of 3x3 cross-covariances
    H = sum src dst^T; the det factor rules out reflections."""
    U, _S, Vt = np.linalg.svd(H)
    V = np.swapaxes(Vt, -1, -2)
    Ut = np.swapaxes(U, -1, -2)
    d = np.sign(np.linalg.det(V @ Ut))
    d[d == 0] = 1.0
    D = np.zeros(H.shape[:-2] + (3, 3))
    D[..., 0, 0] = 1.0
    D[..., 1, 1] = 1.0
    D[..., 2, 2] = d
    return V @ D @ Ut


def rigid_fit(src, dst):
    """Least-squares rigid maps src (n,3) -> dst (F,n,3), one per frame."""
    cs = src.mean(axis=0)
    cd = dst.mean(axis=1)
    H = (src - cs).T @ (dst - cd[:, None, :])
    R = proper_rotations(H)
    t = cd - R @ cs
    return R, t


def apply(R, t, P):
    """(F,3,3),(F,3),(n,3) -> (F,n,3)."""
    # matmul rather than einsum: it goes through BLAS and is much faster.
    return P @ np.swapaxes(R, -1, -2) + t[:, None, :]


# ---------------------------------------------------------------- clustering

def kmeans(P, k, rng, max_rounds=300):
    n = len(P)
    centers = np.empty((k, 3))
    centers[0] = P[rng.integers(n)]
    d2 = ((P - centers[0]) ** 2).sum(1)
    for c in range(1, k):
        # k-means++: next seed drawn with probability proportional to D^2.
        total = d2.sum()
        idx = rng.choice(n, p=d2 / total) if total > 0 else rng.integers(n)
        centers[c] = P[idx]
        d2 = np.minimum(d2, ((P - centers[c]) ** 2).sum(1))
    labels = None
    for _ in range(max_rounds):
        dist = ((P[:, None, :] - centers[None]) ** 2).sum(2)
        new = dist.argmin(1)
        if labels is not None and np.array_equal(new, labels):
            break
        labels = new
        for c in range(k):
            m = labels == c
            if m.any():
                centers[c] = P[m].mean(0)
            else:
                # Re-seed an empty cluster at the point farthest from its centre.
                far = dist[np.arange(n), labels].argmax()
                centers[c] = P[far]
                labels[far] = c
    return labels


def cluster_motions(P, Y, labels, k):
    F = Y.shape[0]
    R = np.tile(np.eye(3), (k, F, 1, 1))
    t = np.zeros((k, F, 3))
    for c in range(k):
        m = labels == c
        if m.any():
            R[c], t[c] = rigid_fit(P[m], Y[:, m])
    return R, t


def trajectory_errors(P, Y, R, t):
    """(k,V) squared error of each vertex's trajectory under each cluster.

    Expands |R p + t - y|^2 summed over frames so every cluster is handled by
    one matrix product instead of transforming all vertices per cluster."""
    k, F = R.shape[:2]
    V = P.shape[0]
    Yf = Y.transpose(1, 0, 2).reshape(V, 3 * F)
    # Z[v, c, b] = sum_{f,a} y_fva R_cfab
    Z = (Yf @ R.transpose(1, 2, 0, 3).reshape(3 * F, 3 * k)).reshape(V, k, 3)
    cross = np.einsum("vcb,vb->cv", Z, P)
    yt = (Yf @ t.transpose(1, 2, 0).reshape(3 * F, k)).T
    Rt = np.einsum("cfab,cfa->cb", R, t)
    err = ((Yf * Yf).sum(1) + F * (P * P).sum(1))[None] + (t * t).sum((1, 2))[:, None]
    err += 2 * (Rt @ P.T) - 2 * cross - 2 * yt
    return np.maximum(err, 0.0)


def rigid_clustering(P, Y, labels, k, rounds=20):
    for _ in range(rounds):
        R, t = cluster_motions(P, Y, labels, k)
        err = trajectory_errors(P, Y, R, t)
        new = err.argmin(0)
        # Empty clusters restart at the vertex the current rig fits worst.
        own = err[new, np.arange(len(P))]
        order = np.argsort(-own)
        used = 0
        for c in range(k):
            if not (new == c).any():
                while True:
                    v = order[used]
                    used += 1
                    if (new == new[v]).sum() > 1:
                        break
                new[v] = c
        if np.array_equal(new, labels):
            break
        labels = new
    R, t = cluster_motions(P, Y, labels, k)
    return labels, R, t


# ---------------------------------------------------------------- weights

def nnls_gram(G, g, eig=None):
    """min ||A w - b||^2, w >= 0, given G = A^T A and g = A^T b only.

    Factor G = M^T M (eigen square root, exact for semi-definite G) and solve
    the equivalent small problem min ||M w - c|| with M^T c = g."""
    lam, Q = np.linalg.eigh(G) if eig is None else eig
    keep = lam > lam.max() * 1e-13
    s = np.sqrt(lam[keep])
    M = s[:, None] * Q[:, keep].T
    c = (Q[:, keep].T @ g) / s
    return nnls(M, c, maxiter=50 * G.shape[0])[0]


def bone_products(P, Y, R, t):
    """Per vertex, the Gram matrix G[v,j,k] = sum_f (R_jf p + t_jf).(R_kf p + t_kf)
    and g[v,j] = sum_f y_fv.(R_jf p + t_jf), expanded so that no (V, 3F, B)
    array is ever formed."""
    B, F = R.shape[:2]
    V = P.shape[0]
    M = np.einsum("jfab,kfac->bcjk", R, R, optimize=True).reshape(9, B * B)
    u = np.einsum("jfab,kfa->jkb", R, t, optimize=True)
    s = np.einsum("jfa,kfa->jk", t, t, optimize=True)
    pp = (P[:, :, None] * P[:, None, :]).reshape(V, 9)
    G = (pp @ M + P @ (u + u.transpose(1, 0, 2)).transpose(2, 0, 1).reshape(3, B * B))
    G = G.reshape(V, B, B) + s
    Yf = Y.transpose(1, 0, 2).reshape(V, 3 * F)
    Z = (Yf @ R.transpose(1, 2, 0, 3).reshape(3 * F, 3 * B)).reshape(V, B, 3)
    g = np.einsum("vjb,vb->vj", Z, P) + Yf @ t.transpose(1, 2, 0).reshape(3 * F, B)
    return G, g


def update_weights(P, Y, R, t, K, row_weight):
    """Per vertex NNLS over all bones with a weighted sum-to-one row, keep the
    K largest, re-solve on those, normalise."""
    V = P.shape[0]
    B = R.shape[0]
    W = np.zeros((V, B))
    rw2 = row_weight * row_weight
    G, g = bone_products(P, Y, R, t)
    G += rw2
    g += rw2
    # One batched eigendecomposition instead of one call per vertex.
    lam, Q = np.linalg.eigh(G)
    for i in range(V):
        w = nnls_gram(G[i], g[i], (lam[i], Q[i]))
        if K < B:
            top = np.argsort(-w)[:K]
            top = top[w[top] > 0]
            w = np.zeros(B)
            if len(top):
                w[top] = nnls_gram(G[i][np.ix_(top, top)], g[i][top])
        total = w.sum()
        if total <= 0:
            # Degenerate: fall back to the single best bone.
            w = np.zeros(B)
            w[np.argmin(np.diag(G[i]) - 2 * g[i])] = 1.0
            total = 1.0
        W[i] = w / total
    return W


# ---------------------------------------------------------------- bones

def blend(P, W, R, t):
    F = R.shape[1]
    out = np.zeros((F,) + P.shape)
    for j in range(R.shape[0]):
        m = W[:, j] > 0
        if m.any():
            out[:, m] += W[m, j][None, :, None] * apply(R[j], t[j], P[m])
    return out


def update_bones(P, Y, W, R, t):
    """Gauss-Seidel over bones: each bone gets the weighted Procrustes fit of
    what the other bones leave unexplained, all frames at once."""
    R = R.copy()
    t = t.copy()
    Yhat = blend(P, W, R, t)
    for j in range(R.shape[0]):
        m = W[:, j] > 0
        if not m.any():
            continue
        w = W[m, j]
        p = P[m]
        old = w[None, :, None] * apply(R[j], t[j], p)
        r = Y[:, m] - Yhat[:, m] + old
        # min sum_i |r_i - w_i (R p_i + t)|^2: t = q - R c with centroids
        # c = sum w^2 p / sum w^2 and q = sum w r / sum w^2.
        w2 = (w * w).sum()
        c = (w * w) @ p / w2
        q = (w @ r) / w2
        src = w[:, None] * (p - c)
        dst = r - w[None, :, None] * q[:, None, :]
        H = src.T @ dst
        Rj = proper_rotations(H)
        R[j] = Rj
        t[j] = q - Rj @ c
        Yhat[:, m] += w[None, :, None] * apply(R[j], t[j], p) - old
    return R, t


# ---------------------------------------------------------------- driver

def decompose(frames, bones, K, iterations, seed):
    P = frames[0]
    Y = frames[1:]
    diag = float(np.linalg.norm(P.max(0) - P.min(0)))
    rng = np.random.default_rng(seed)
    labels = kmeans(P, bones, rng)
    labels, R, t = rigid_clustering(P, Y, labels, bones)
    W = None
    for _ in range(iterations):
        W = update_weights(P, Y, R, t, K, diag)
        R, t = update_bones(P, Y, W, R, t)
    if W is None:
        W = np.eye(bones)[labels]
    return W, R, t


def measure(frames, W, R, t):
    P = frames[0]
    Y = frames[1:]
    diag = float(np.linalg.norm(P.max(0) - P.min(0)))
    d2 = ((blend(P, W, R, t) - Y) ** 2).sum(2)
    F, V = d2.shape
    return {
        "e_rms": 1000.0 * float(np.sqrt(d2.sum() / (3 * V * F))) / diag,
        "rms_distance": float(np.sqrt(d2.mean())),
        "max_distance": float(np.sqrt(d2.max())),
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("input", help=".pc2 or .md2 animation; frame 0 is the rest pose")
    ap.add_argument("--topology", help="OBJ for a .pc2 input (only its vertex count is checked)")
    ap.add_argument("-b", "--bones", type=int, required=True)
    ap.add_argument("-k", "--influences", type=int, default=4)
    ap.add_argument("--iterations", type=int, default=20)
    ap.add_argument("--seed", type=int, default=0, help="first seed")
    ap.add_argument("--seeds", type=int, default=1, help="number of consecutive seeds to run")
    ap.add_argument("--json", help="write settings and results here")
    a = ap.parse_args(argv)

    frames = read_animation(a.input, a.topology)
    if frames.shape[0] < 2:
        ap.error("need a rest pose and at least one more frame")
    V = frames.shape[1]
    if not 1 <= a.bones <= V:
        ap.error(f"bones must be between 1 and {V}")
    K = max(1, min(a.influences, a.bones))

    runs = []
    for seed in range(a.seed, a.seed + a.seeds):
        t0 = time.perf_counter()
        W, R, t = decompose(frames, a.bones, K, a.iterations, seed)
        res = measure(frames, W, R, t)
        res["seed"] = seed
        res["seconds"] = time.perf_counter() - t0
        runs.append(res)
        prefix = f"seed {seed}: " if a.seeds > 1 else ""
        print(f"{prefix}E_RMS {res['e_rms']:.4f} max {res['max_distance']:.4f}"
              f"  (rms {res['rms_distance']:.4f}, {res['seconds']:.1f} s)", flush=True)
    mean = {key: float(np.mean([r[key] for r in runs]))
            for key in ("e_rms", "rms_distance", "max_distance", "seconds")}
    if a.seeds > 1:
        print(f"mean: E_RMS {mean['e_rms']:.4f} max {mean['max_distance']:.4f}")
    if a.json:
        out = {
            "input": a.input,
            "vertices": V,
            "fitted_frames": frames.shape[0] - 1,
            "bones": a.bones,
            "influences": K,
            "iterations": a.iterations,
            "seeds": [r["seed"] for r in runs],
            "runs": runs,
            "mean": mean,
        }
        with open(a.json, "w") as f:
            json.dump(out, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
