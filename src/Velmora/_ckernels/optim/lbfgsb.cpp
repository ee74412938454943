// L-BFGS-B: the limited-memory BFGS method for simple bounds, with the
// subspace step projected into the box and safeguarded by backtracking, and
// the Moré–Thuente line search, in reverse-communication form.
//
// Every value that must survive between calls lives in the caller's lsave,
// isave and dsave arrays. Each call loads those values into named structs
// (the memory, the line search, the iteration's scalars), works on views of
// the caller's workspace, and writes the values back before returning.
#include "lbfgsb.h"

#include <cfloat>
#include <cmath>

#include "lbfgsb_workspace.h"
#include "shim_kernels.h"

namespace {

constexpr f64 epsmach = 0x1p-52;

// ---------------------------------------------------------------------------
// The shims' kernels over unit strides (column-major matrices, leading
// dimension lda).

using vlm::shim::axpy;
using vlm::shim::copy;
using vlm::shim::dot;
using vlm::shim::scal;
f64 nrm2(i64 n, const f64 *x) { return vlm::shim::nrm2(n, x, 1); }
// Cholesky factor of the upper triangle of the n x n matrix at a.
i64 cholesky_upper(i64 n, f64 *a, i64 lda) { return vlm::shim::cholesky_upper(n, a, 1, lda); }
// Solves U x = b (trans 'N') or U' x = b (trans 'T') for nrhs columns of b.
i64 solve_upper(char trans, i64 n, i64 nrhs, const f64 *a, i64 lda, f64 *b, i64 ldb) {
    return trans == 'N' ? vlm::shim::solve_triangular(n, nrhs, a, 1, lda, true, false, b, ldb)
                        : vlm::shim::solve_triangular(n, nrhs, a, lda, 1, false, false, b, ldb);
}

// ---------------------------------------------------------------------------
// Views.

// The box: bound codes 0 free, 1 lower, 2 both, 3 upper.
struct Box {
    i64 n;
    const f64 *l, *u;
    const i64 *nbd;
    bool has_lower(i64 i) const { return nbd[i] == 1 || nbd[i] == 2; }
    bool has_upper(i64 i) const { return nbd[i] == 2 || nbd[i] == 3; }
};

// The limited memory: B = theta I - W M W' with W = [Y, theta S]. The pairs
// are a circular buffer of m slots (S and Y one n-vector per slot); logical
// pair j (0 = oldest) is in slot (head + j) mod m. S'Y, S'S and the Cholesky
// factor of T are m x m column-major in logical order.
struct Memory {
    i64 n, m;
    f64 *ws, *wy;          // S and Y, one n-vector per slot
    f64 *sy_mat, *ss_mat;  // S'Y and S'S, m x m
    f64 *wt;               // Cholesky factor of T (upper triangle), m x m
    f64 theta;
    i64 head, col, itail, iupdat;
    bool updatd;

    // (head + j) mod m for 0 <= head, j < m, without a division: the slot is
    // looked up in the inner loops of the Cauchy point and of formk.
    i64 slot(i64 j) const {
        const i64 k = head + j;
        return k < m ? k : k - m;
    }
    f64 *s(i64 slot) const { return ws + slot * n; }
    f64 *y(i64 slot) const { return wy + slot * n; }
    f64 &sy(i64 i, i64 j) const { return sy_mat[i + m * j]; }
    f64 &ss(i64 i, i64 j) const { return ss_mat[i + m * j]; }
    // Forget every pair (the stored vectors stay but are ignored).
    void reset() {
        col = 0;
        head = 0;
        theta = 1.0;
        iupdat = 0;
        updatd = false;
    }
};

// The n-vectors of the iteration and the small work vectors.
struct Work {
    f64 *wn, *snd;  // 2m x 2m: factor of K and the matrix it is formed from
    f64 *z, *r, *d, *t, *xp;
    f64 *p, *c, *wbp, *v;  // four 2m-vectors of the inner workspace
};

// State of the Moré-Thuente search: stx is the best step so far (fx, gx),
// sty the other end of the interval (fy, gy), [stmin, stmax] the range for
// the next trial.
struct LineSearch {
    i64 brackt, stage;
    f64 ginit, gtest, gx, gy, finit, fx, fy, stx, sty, stmin, stmax, width, width1;
};

// ---------------------------------------------------------------------------
// Save-array slots.

enum ISlot : i64 {
    I_MN = 0,
    I_M2 = 1,
    I_4M2 = 2,
    I_OFFSETS = 3,  // 3..15: offsets of the 13 pieces
    I_NINTOL = 21,
    I_IBACK = 24,
    I_NSKIP = 25,
    I_HEAD = 26,
    I_COL = 27,
    I_ITAIL = 28,
    I_ITER = 29,
    I_IUPDAT = 30,
    I_NSEG = 32,
    I_NFGV = 33,
    I_INFO = 34,
    I_IFUN = 35,
    I_IWORD = 36,
    I_NFREE = 37,
    I_NACT = 38,
    I_ILEAVE = 39,
    I_NENTER = 40,
    I_BRACKT = 42,
    I_STAGE = 43
};
enum DSlot : i64 {
    D_THETA = 0,
    D_FOLD = 1,
    D_TOL = 2,
    D_DNORM = 3,
    D_GD = 10,
    D_STPMX = 11,
    D_SBGNRM = 12,
    D_STP = 13,
    D_GDOLD = 14,
    D_DTD = 15,
    D_LINE_SEARCH = 16
};
enum LSlot : i64 { L_PRJCTD = 0, L_CNSTND = 1, L_BOXED = 2, L_UPDATD = 3 };

// Copies one saved value between its slot and the local it belongs to.
template <bool Saving, class Slot, class Field>
void transfer(Slot &slot, Field &field) {
    if constexpr (Saving) {
        slot = static_cast<Slot>(field);
    } else {
        field = static_cast<Field>(slot);
    }
}

// ---------------------------------------------------------------------------
// Products with the middle matrix and the projected gradient.

// p := M v for 2col-vectors, through the factorisation
//   M^-1 = [[-D, L'], [L, theta S'S]]
//        = [[D^1/2, 0], [-L D^-1/2, J]] [[-D^1/2, D^-1/2 L'], [0, J']]
// with J J' = T = theta S'S + L D^-1 L'.
i64 bmv(const Memory &mem, const f64 *v, f64 *p) {
    const i64 col = mem.col;
    if (col == 0) return 0;
    const f64 *a = v, *b = v + col;
    f64 *pa = p, *pb = p + col;
    // Lower block-triangular solve.
    pb[0] = b[0];
    for (i64 i = 1; i < col; ++i) {
        f64 sum = 0.0;
        for (i64 k = 0; k < i; ++k) sum += mem.sy(i, k) * a[k] / mem.sy(k, k);
        pb[i] = b[i] + sum;
    }
    if (i64 info = solve_upper('T', col, 1, mem.wt, mem.m, pb, col)) return info;
    for (i64 i = 0; i < col; ++i) pa[i] = a[i] / std::sqrt(mem.sy(i, i));
    // Upper block-triangular solve.
    if (i64 info = solve_upper('N', col, 1, mem.wt, mem.m, pb, col)) return info;
    for (i64 i = 0; i < col; ++i) pa[i] = -pa[i] / std::sqrt(mem.sy(i, i));
    for (i64 i = 0; i < col; ++i) {
        f64 sum = 0.0;
        for (i64 k = i + 1; k < col; ++k) sum += mem.sy(k, i) * pb[k] / mem.sy(i, i);
        pa[i] += sum;
    }
    return 0;
}

// Infinity norm of the projected gradient; NaN as soon as g holds a NaN.
f64 projgr(const Box &box, const f64 *x, const f64 *g) {
    f64 norm = 0.0;
    for (i64 i = 0; i < box.n; ++i) {
        f64 gi = g[i];
        if (std::isnan(gi)) return gi;
        if (box.nbd[i] != 0) {
            if (gi < 0.0 && box.nbd[i] >= 2) gi = std::fmax(x[i] - box.u[i], gi);
            if (gi >= 0.0 && box.nbd[i] <= 2) gi = std::fmin(x[i] - box.l[i], gi);
        }
        norm = std::fmax(norm, std::fabs(gi));
    }
    return norm;
}

// ---------------------------------------------------------------------------
// Generalized Cauchy point.

// Removes the least of the breakpoints t[0..n) (with their indices) to
// t[n-1], keeping the rest a min-heap rooted at t[0]; iheap = 0 first turns
// t[0..n) into a heap.
void hpsolb(i64 n, f64 *t, i64 *iorder, i64 iheap) {
    if (iheap == 0) {
        for (i64 k = 1; k < n; ++k) {
            const f64 value = t[k];
            const i64 index = iorder[k];
            i64 i = k;
            while (i > 0) {
                const i64 parent = (i + 1) / 2 - 1;
                if (!(value < t[parent])) break;
                t[i] = t[parent];
                iorder[i] = iorder[parent];
                i = parent;
            }
            t[i] = value;
            iorder[i] = index;
        }
    }
    if (n > 1) {
        const f64 out = t[0];
        const i64 out_index = iorder[0];
        const f64 value = t[n - 1];
        const i64 index = iorder[n - 1];
        i64 i = 0;
        for (;;) {
            i64 j = 2 * i + 1;
            if (j >= n - 1) break;
            if (j + 1 < n - 1 && t[j + 1] < t[j]) j += 1;
            if (!(t[j] < value)) break;
            t[i] = t[j];
            iorder[i] = iorder[j];
            i = j;
        }
        t[i] = value;
        iorder[i] = index;
        t[n - 1] = out;
        iorder[n - 1] = out_index;
    }
}

// The first local minimizer xcp of the quadratic model along the projected
// steepest-descent path x(t) = P(x - t g). Leaves c = W'(xcp - x), the
// variables' states in iwhere and the number of segments explored in nseg.
i64 cauchy(const Box &box, const f64 *x, const f64 *g, i64 *iorder, i64 *iwhere, const Memory &mem,
           const Work &w, f64 sbgnrm, i64 &nseg) {
    const i64 n = box.n, col = mem.col;
    const f64 theta = mem.theta;
    f64 *t = w.t, *d = w.d, *xcp = w.z, *p = w.p, *c = w.c, *wbp = w.wbp, *v = w.v;
    // c = W'(xcp - x) starts at zero, and stays zero on the early returns
    // below, where xcp = x: the subspace step reads it whenever col > 0, and
    // must not see the workspace's previous (or never written) content.
    for (i64 j = 0; j < 2 * col; ++j) c[j] = 0.0;
    if (sbgnrm <= 0.0) {
        copy(n, x, xcp);
        return 0;
    }
    for (i64 j = 0; j < 2 * col; ++j) p[j] = 0.0;

    // Classify the variables, find the breakpoints, and accumulate p = W'd
    // and f1 = g'd for the direction d = -g restricted to the moving ones.
    i64 nbreak = 0, nfree = n, ibkmin = 0;
    bool bnded = true;
    f64 f1 = 0.0, bkmin = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 neggi = -g[i];
        f64 tl = 0.0, tu = 0.0;
        if (iwhere[i] != 3 && iwhere[i] != -1) {
            if (box.nbd[i] <= 2) tl = x[i] - box.l[i];
            if (box.nbd[i] >= 2) tu = box.u[i] - x[i];
            const bool xlower = box.nbd[i] <= 2 && tl <= 0.0;
            const bool xupper = box.nbd[i] >= 2 && tu <= 0.0;
            iwhere[i] = 0;
            if (xlower) {
                if (neggi <= 0.0) iwhere[i] = 1;
            } else if (xupper) {
                if (neggi >= 0.0) iwhere[i] = 2;
            } else if (std::fabs(neggi) <= 0.0) {
                iwhere[i] = -3;
            }
        }
        if (iwhere[i] != 0 && iwhere[i] != -1) {
            d[i] = 0.0;
            continue;
        }
        d[i] = neggi;
        f1 -= neggi * neggi;
        for (i64 j = 0; j < col; ++j) {
            const i64 pointr = mem.slot(j);
            p[j] += mem.y(pointr)[i] * neggi;
            p[col + j] += mem.s(pointr)[i] * neggi;
        }
        f64 tbreak;
        if (box.has_lower(i) && neggi < 0.0) {
            tbreak = tl / (-neggi);
        } else if (box.has_upper(i) && neggi > 0.0) {
            tbreak = tu / neggi;
        } else {
            nfree -= 1;
            iorder[nfree] = i;
            if (std::fabs(neggi) > 0.0) bnded = false;
            continue;
        }
        t[nbreak] = tbreak;
        iorder[nbreak] = i;
        if (nbreak == 0 || tbreak < bkmin) {
            bkmin = tbreak;
            ibkmin = nbreak;
        }
        nbreak += 1;
    }
    if (theta != 1.0) scal(col, theta, p + col);
    copy(n, x, xcp);
    if (nbreak == 0 && nfree == n) return 0;  // nothing moves

    // Model along the path: f1 first and f2 second derivative at the start
    // of the current segment; dtm the minimizer within it.
    f64 f2 = -theta * f1;
    const f64 f2_org = f2;
    if (col > 0) {
        if (i64 info = bmv(mem, p, v)) return info;
        f2 -= dot(2 * col, v, p);
    }
    f64 dtm = -f1 / f2, tsum = 0.0;
    nseg = 1;

    if (nbreak > 0) {
        i64 nleft = nbreak;
        f64 tj = 0.0;
        for (i64 iter = 1;;) {
            // Next breakpoint: the precomputed minimum first, then from a heap.
            const f64 tj0 = tj;
            i64 ibp;
            if (iter == 1) {
                tj = bkmin;
                ibp = iorder[ibkmin];
            } else {
                if (iter == 2 && ibkmin != nbreak - 1) {
                    t[ibkmin] = t[nbreak - 1];
                    iorder[ibkmin] = iorder[nbreak - 1];
                }
                hpsolb(nleft, t, iorder, iter - 2);
                tj = t[nleft - 1];
                ibp = iorder[nleft - 1];
            }
            const f64 dt = tj - tj0;
            if (dtm < dt) break;  // the minimizer lies in this segment

            // Fix variable ibp at the bound it reached.
            tsum += dt;
            nleft -= 1;
            iter += 1;
            const f64 dibp = d[ibp];
            d[ibp] = 0.0;
            f64 zibp;
            if (dibp > 0.0) {
                zibp = box.u[ibp] - x[ibp];
                xcp[ibp] = box.u[ibp];
                iwhere[ibp] = 2;
            } else {
                zibp = box.l[ibp] - x[ibp];
                xcp[ibp] = box.l[ibp];
                iwhere[ibp] = 1;
            }
            if (nleft == 0 && nbreak == n) {  // every variable is on a bound
                dtm = dt;
                if (col > 0) axpy(2 * col, dtm, p, c);
                return 0;
            }

            // Derivatives at the start of the next segment.
            nseg += 1;
            const f64 dibp2 = dibp * dibp;
            f1 = f1 + dt * f2 + dibp2 - theta * dibp * zibp;
            f2 = f2 - theta * dibp2;
            if (col > 0) {
                axpy(2 * col, dt, p, c);
                for (i64 j = 0; j < col; ++j) {
                    const i64 pointr = mem.slot(j);
                    wbp[j] = mem.y(pointr)[ibp];
                    wbp[col + j] = theta * mem.s(pointr)[ibp];
                }
                if (i64 info = bmv(mem, wbp, v)) return info;
                const f64 wmc = dot(2 * col, c, v);
                const f64 wmp = dot(2 * col, p, v);
                const f64 wmw = dot(2 * col, wbp, v);
                axpy(2 * col, -dibp, wbp, p);
                f1 += dibp * wmc;
                f2 += 2.0 * dibp * wmp - dibp2 * wmw;
            }
            f2 = std::fmax(epsmach * f2_org, f2);  // keep the curvature positive
            if (nleft > 0) {
                dtm = -f1 / f2;
                continue;
            }
            if (bnded) {
                f1 = 0.0;
                f2 = 0.0;
                dtm = 0.0;
            } else {
                dtm = -f1 / f2;
            }
            break;
        }
    }
    dtm = std::fmax(dtm, 0.0);
    tsum += dtm;
    axpy(n, tsum, d, xcp);
    if (col > 0) axpy(2 * col, dtm, p, c);
    return 0;
}

// ---------------------------------------------------------------------------
// Subspace minimization.

// The free variables (index[0..nfree)) and the active ones (index[nfree..n),
// filled from the back) at the Cauchy point, and which variables entered
// (indx2[0..nenter)) or left (indx2[ileave..n)) the free set.
struct FreeSets {
    i64 nfree, nenter, ileave;
    i64 *index, *indx2;
};

bool freev(i64 n, FreeSets &fs, const i64 *iwhere, bool updatd, bool cnstnd, i64 iter) {
    fs.nenter = 0;
    fs.ileave = n;
    if (iter > 0 && cnstnd) {
        for (i64 i = 0; i < fs.nfree; ++i) {
            const i64 k = fs.index[i];
            if (iwhere[k] > 0) fs.indx2[--fs.ileave] = k;
        }
        for (i64 i = fs.nfree; i < n; ++i) {
            const i64 k = fs.index[i];
            if (iwhere[k] <= 0) fs.indx2[fs.nenter++] = k;
        }
    }
    const bool wrk = fs.ileave < n || fs.nenter > 0 || updatd;
    fs.nfree = 0;
    i64 iact = n;
    for (i64 i = 0; i < n; ++i) {
        if (iwhere[i] <= 0) {
            fs.index[fs.nfree++] = i;
        } else {
            fs.index[--iact] = i;
        }
    }
    return wrk;
}

// A set of variable indices.
struct IndexSet {
    const i64 *k;
    i64 count;
    // Sum over the set of a[k] * b[k].
    f64 dot(const f64 *a, const f64 *b) const {
        f64 s = 0.0;
        for (i64 j = 0; j < count; ++j) s += a[k[j]] * b[k[j]];
        return s;
    }
};

// Forms and factors the 2col x 2col matrix
//   K = [[-D - Y'ZZ'Y/theta, L_a' - R_z'], [L_a - R_z, theta S'AA'S]]
// of the reduced problem (Z the free, A the active variables), as the
// factor of [[D + Y'ZZ'Y/theta, -L_a' + R_z'], [-L_a + R_z, theta S'AA'S]]
// in the upper triangle of wn. The blocks of Y'ZZ'Y, S'AA'S and S'AA'Y,
// S'ZZ'Y are kept in wn1 and updated only for the variables that changed sets.
i64 formk(const Memory &mem, const FreeSets &fs, f64 *wn, f64 *wn1) {
    const i64 n = mem.n, m = mem.m, col = mem.col, ld = 2 * m;
    const f64 theta = mem.theta;
    auto W1 = [&](i64 i, i64 j) -> f64 & { return wn1[i + ld * j]; };
    auto WN = [&](i64 i, i64 j) -> f64 & { return wn[i + ld * j]; };
    const IndexSet free_set{fs.index, fs.nfree}, active{fs.index + fs.nfree, n - fs.nfree};
    const IndexSet entering{fs.indx2, fs.nenter}, leaving{fs.indx2 + fs.ileave, n - fs.ileave};

    i64 upcl = col;
    if (mem.updatd) {
        if (mem.iupdat > m) {  // the oldest pair was dropped: shift up-left
            for (i64 jy = 0; jy < m - 1; ++jy) {
                for (i64 k = 0; k < m - 1 - jy; ++k) {
                    W1(jy + k, jy) = W1(jy + 1 + k, jy + 1);
                    W1(m + jy + k, m + jy) = W1(m + jy + 1 + k, m + jy + 1);
                }
                for (i64 k = 0; k < m - 1; ++k) W1(m + k, jy) = W1(m + 1 + k, jy + 1);
            }
        }
        // Row of the newest pair, and the new last column of block (2,1).
        const i64 iy = col - 1, newest = mem.slot(col - 1);
        for (i64 jy = 0; jy < col; ++jy) {
            const i64 jp = mem.slot(jy);
            W1(iy, jy) = free_set.dot(mem.y(newest), mem.y(jp));
            W1(m + iy, m + jy) = active.dot(mem.s(newest), mem.s(jp));
            W1(m + iy, jy) = active.dot(mem.s(newest), mem.y(jp));
        }
        for (i64 i = 0; i < col; ++i)
            W1(m + i, col - 1) = free_set.dot(mem.s(mem.slot(i)), mem.y(newest));
        upcl = col - 1;
    }

    // Correct the older entries for the variables that entered or left.
    for (i64 iy = 0; iy < upcl; ++iy) {
        const i64 ip = mem.slot(iy);
        for (i64 jy = 0; jy <= iy; ++jy) {
            const i64 jp = mem.slot(jy);
            W1(iy, jy) += entering.dot(mem.y(ip), mem.y(jp)) - leaving.dot(mem.y(ip), mem.y(jp));
            W1(m + iy, m + jy) +=
                -entering.dot(mem.s(ip), mem.s(jp)) + leaving.dot(mem.s(ip), mem.s(jp));
        }
    }
    for (i64 is = m; is < m + upcl; ++is) {
        const i64 ip = mem.slot(is - m);
        for (i64 jy = 0; jy < upcl; ++jy) {
            const i64 jp = mem.slot(jy);
            const f64 t1 = entering.dot(mem.s(ip), mem.y(jp));
            const f64 t3 = leaving.dot(mem.s(ip), mem.y(jp));
            W1(is, jy) += (is <= jy + m) ? t1 - t3 : -t1 + t3;
        }
    }

    // Upper triangle of the matrix to factor.
    for (i64 iy = 0; iy < col; ++iy) {
        for (i64 jy = 0; jy <= iy; ++jy) {
            WN(jy, iy) = W1(iy, jy) / theta;
            WN(col + jy, col + iy) = W1(m + iy, m + jy) * theta;
        }
        for (i64 jy = 0; jy < iy; ++jy) WN(jy, col + iy) = -W1(m + iy, jy);
        for (i64 jy = iy; jy < col; ++jy) WN(jy, col + iy) = W1(m + iy, jy);
        WN(iy, iy) += mem.sy(iy, iy);
    }

    // Block LDL'-style factorisation: factor (1,1), eliminate, factor (2,2).
    if (cholesky_upper(col, wn, ld) != 0) return -1;
    solve_upper('T', col, col, wn, ld, &WN(0, col), ld);
    for (i64 is = col; is < 2 * col; ++is)
        for (i64 js = is; js < 2 * col; ++js) WN(is, js) += dot(col, &WN(0, is), &WN(0, js));
    if (cholesky_upper(col, &WN(col, col), ld) != 0) return -2;
    return 0;
}

// Reduced gradient r = -Z'(B (xcp - x) + g) over the free variables.
i64 cmprlb(const Memory &mem, const FreeSets &fs, const f64 *x, const f64 *g, const Work &w,
           bool cnstnd) {
    const i64 n = mem.n, col = mem.col;
    const f64 theta = mem.theta;
    f64 *r = w.r;
    if (!cnstnd && col > 0) {
        for (i64 i = 0; i < n; ++i) r[i] = -g[i];
        return 0;
    }
    for (i64 i = 0; i < fs.nfree; ++i) {
        const i64 k = fs.index[i];
        r[i] = -theta * (w.z[k] - x[k]) - g[k];
    }
    f64 *v = w.p;  // M c, with c = W'(xcp - x) from the Cauchy search
    if (bmv(mem, w.c, v) != 0) return -8;
    for (i64 j = 0; j < col; ++j) {
        const f64 *s = mem.s(mem.slot(j)), *y = mem.y(mem.slot(j));
        const f64 a1 = v[j], a2 = theta * v[col + j];
        for (i64 i = 0; i < fs.nfree; ++i) {
            const i64 k = fs.index[i];
            r[i] += y[k] * a1 + s[k] * a2;
        }
    }
    return 0;
}

// Minimizes the model over the free variables from the Cauchy point z: the
// Newton step d = -(Z'BZ)^-1 r by the Sherman-Morrison-Woodbury formula
// through K, then projected into the box; if the projected point is not a
// descent step from the iterate xx, backtrack along d to the first bound.
i64 subsm(const Memory &mem, const Box &box, const FreeSets &fs, const f64 *xx, const f64 *gg,
          const Work &w, const f64 *wn, i64 &iword) {
    const i64 n = mem.n, m = mem.m, col = mem.col, nsub = fs.nfree;
    const i64 *ind = fs.index;
    const f64 theta = mem.theta;
    f64 *x = w.z, *d = w.r, *xp = w.xp, *wv = w.p;

    for (i64 j = 0; j < col; ++j) {  // wv = W'Z d
        const f64 *s = mem.s(mem.slot(j)), *y = mem.y(mem.slot(j));
        f64 t1 = 0.0, t2 = 0.0;
        for (i64 i = 0; i < nsub; ++i) {
            t1 += y[ind[i]] * d[i];
            t2 += s[ind[i]] * d[i];
        }
        wv[j] = t1;
        wv[col + j] = theta * t2;
    }
    if (i64 info = solve_upper('T', 2 * col, 1, wn, 2 * m, wv, 2 * m)) return info;
    for (i64 j = 0; j < col; ++j) wv[j] = -wv[j];
    if (i64 info = solve_upper('N', 2 * col, 1, wn, 2 * m, wv, 2 * m)) return info;
    for (i64 j = 0; j < col; ++j) {
        const f64 *s = mem.s(mem.slot(j)), *y = mem.y(mem.slot(j));
        for (i64 i = 0; i < nsub; ++i) d[i] += y[ind[i]] * wv[j] / theta + s[ind[i]] * wv[col + j];
    }
    for (i64 i = 0; i < nsub; ++i) d[i] /= theta;

    // Project z + d into the box.
    copy(n, x, xp);
    iword = 0;
    for (i64 i = 0; i < nsub; ++i) {
        const i64 k = ind[i];
        const f64 target = x[k] + d[i];
        switch (box.nbd[k]) {
            case 1:
                x[k] = std::fmax(box.l[k], target);
                if (x[k] == box.l[k]) iword = 1;
                break;
            case 2:
                x[k] = std::fmin(box.u[k], std::fmax(box.l[k], target));
                if (x[k] == box.l[k] || x[k] == box.u[k]) iword = 1;
                break;
            case 3:
                x[k] = std::fmin(box.u[k], target);
                if (x[k] == box.u[k]) iword = 1;
                break;
            default: x[k] = target;
        }
    }
    if (iword == 0) return 0;
    f64 dd_p = 0.0;
    for (i64 i = 0; i < n; ++i) dd_p += (x[i] - xx[i]) * gg[i];
    if (dd_p <= 0.0) return 0;

    // The projection turned the step uphill: back to the Cauchy point and
    // move along d only as far as the first bound.
    copy(n, xp, x);
    f64 alpha = 1.0, temp1 = 1.0;
    i64 ibd = 0;
    for (i64 i = 0; i < nsub; ++i) {
        const i64 k = ind[i];
        const f64 dk = d[i];
        if (box.nbd[k] == 0) continue;
        if (dk < 0.0 && box.nbd[k] <= 2) {
            const f64 temp2 = box.l[k] - x[k];
            if (temp2 >= 0.0) {
                temp1 = 0.0;
            } else if (dk * alpha < temp2) {
                temp1 = temp2 / dk;
            }
        } else if (dk > 0.0 && box.nbd[k] >= 2) {
            const f64 temp2 = box.u[k] - x[k];
            if (temp2 <= 0.0) {
                temp1 = 0.0;
            } else if (dk * alpha > temp2) {
                temp1 = temp2 / dk;
            }
        }
        if (temp1 < alpha) {
            alpha = temp1;
            ibd = i;
        }
    }
    if (alpha < 1.0) {
        const i64 k = ind[ibd];
        if (d[ibd] > 0.0) {
            x[k] = box.u[k];
            d[ibd] = 0.0;
        } else if (d[ibd] < 0.0) {
            x[k] = box.l[k];
            d[ibd] = 0.0;
        }
    }
    for (i64 i = 0; i < nsub; ++i) x[ind[i]] += alpha * d[i];
    return 0;
}

// ---------------------------------------------------------------------------
// Limited-memory update.

// Stores the pair (s, y) = (d, r), drops the oldest when the memory is full,
// sets theta = y'y / y's and extends S'Y and S'S. mem.iupdat already counts
// this update.
void matupd(Memory &mem, const f64 *d, const f64 *r, f64 rr, f64 dr, f64 stp, f64 dtd) {
    const i64 n = mem.n, m = mem.m;
    if (mem.iupdat <= m) {
        mem.col = mem.iupdat;
        mem.itail = (mem.head + mem.iupdat - 1) % m;
    } else {
        mem.itail = (mem.itail + 1) % m;
        mem.head = (mem.head + 1) % m;
    }
    copy(n, d, mem.s(mem.itail));
    copy(n, r, mem.y(mem.itail));
    mem.theta = rr / dr;

    const i64 col = mem.col;
    if (mem.iupdat > m) {  // shift out the oldest pair's row and column
        for (i64 j = 1; j < col; ++j) {
            for (i64 k = 0; k < j; ++k) mem.ss(k, j - 1) = mem.ss(1 + k, j);
            for (i64 k = 0; k < col - j; ++k) mem.sy(j - 1 + k, j - 1) = mem.sy(j + k, j);
        }
    }
    for (i64 j = 0; j < col - 1; ++j) {
        const i64 slot = mem.slot(j);
        mem.sy(col - 1, j) = dot(n, d, mem.y(slot));
        mem.ss(j, col - 1) = dot(n, mem.s(slot), d);
    }
    mem.ss(col - 1, col - 1) = (stp == 1.0) ? dtd : stp * stp * dtd;
    mem.sy(col - 1, col - 1) = dr;
}

// Forms the upper triangle of T = theta S'S + L D^-1 L' and factors it.
i64 formt(const Memory &mem) {
    const i64 col = mem.col, m = mem.m;
    f64 *wt = mem.wt;
    for (i64 j = 0; j < col; ++j) wt[m * j] = mem.theta * mem.ss(0, j);
    for (i64 i = 1; i < col; ++i) {
        for (i64 j = i; j < col; ++j) {
            f64 sum = 0.0;
            for (i64 k = 0; k < i; ++k) sum += mem.sy(i, k) * mem.sy(j, k) / mem.sy(k, k);
            wt[i + m * j] = sum + mem.theta * mem.ss(i, j);
        }
    }
    return cholesky_upper(col, wt, m) != 0 ? -3 : 0;
}

// ---------------------------------------------------------------------------
// Line search (Moré and Thuente).

constexpr f64 ls_ftol = 1e-3, ls_gtol = 0.9, ls_xtol = 0.1, ls_stpmin = 0.0, big = 1e10;
constexpr f64 xtrapl = 1.1, xtrapu = 4.0, p5 = 0.5, p66 = 0.66;

// A safeguarded step from cubic and quadratic interpolation, and the update
// of the interval [stx, sty] that contains a step satisfying the Wolfe
// conditions.
void dcstep(f64 &stx, f64 &fx, f64 &dx, f64 &sty, f64 &fy, f64 &dy, f64 &stp, f64 fp, f64 dp,
            i64 &brackt, f64 stpmin, f64 stpmax) {
    const f64 sgnd = dp * (dx / std::fabs(dx));
    // A trial value that is not a number counts as higher, like +inf: the
    // search then brackets and falls back instead of extrapolating into it.
    const bool higher = !(fp <= fx);
    f64 stpf;
    if (higher) {
        // Case 1: a higher value; the minimum is bracketed.
        const f64 theta = 3.0 * (fx - fp) / (stp - stx) + dx + dp;
        const f64 s = std::fmax(std::fabs(theta), std::fmax(std::fabs(dx), std::fabs(dp)));
        f64 gamma = s * std::sqrt((theta / s) * (theta / s) - (dx / s) * (dp / s));
        if (stp < stx) gamma = -gamma;
        const f64 p = (gamma - dx) + theta;
        const f64 q = ((gamma - dx) + gamma) + dp;
        const f64 stpc = stx + (p / q) * (stp - stx);
        const f64 stpq = stx + ((dx / ((fx - fp) / (stp - stx) + dx)) / 2.0) * (stp - stx);
        stpf = (std::fabs(stpc - stx) < std::fabs(stpq - stx)) ? stpc : stpc + (stpq - stpc) / 2.0;
        brackt = 1;
    } else if (sgnd < 0.0) {
        // Case 2: derivatives of opposite sign; bracketed.
        const f64 theta = 3.0 * (fx - fp) / (stp - stx) + dx + dp;
        const f64 s = std::fmax(std::fabs(theta), std::fmax(std::fabs(dx), std::fabs(dp)));
        f64 gamma = s * std::sqrt((theta / s) * (theta / s) - (dx / s) * (dp / s));
        if (stp > stx) gamma = -gamma;
        const f64 p = (gamma - dp) + theta;
        const f64 q = ((gamma - dp) + gamma) + dx;
        const f64 stpc = stp + (p / q) * (stx - stp);
        const f64 stpq = stp + (dp / (dp - dx)) * (stx - stp);
        stpf = (std::fabs(stpc - stp) > std::fabs(stpq - stp)) ? stpc : stpq;
        brackt = 1;
    } else if (std::fabs(dp) < std::fabs(dx)) {
        // Case 3: the derivative's magnitude decreases.
        const f64 theta = 3.0 * (fx - fp) / (stp - stx) + dx + dp;
        const f64 s = std::fmax(std::fabs(theta), std::fmax(std::fabs(dx), std::fabs(dp)));
        f64 gamma = s * std::sqrt(std::fmax(0.0, (theta / s) * (theta / s) - (dx / s) * (dp / s)));
        if (stp > stx) gamma = -gamma;
        const f64 p = (gamma - dp) + theta;
        const f64 q = (gamma + (dx - dp)) + gamma;
        const f64 r = p / q;
        f64 stpc;
        if (r < 0.0 && gamma != 0.0) {
            stpc = stp + r * (stx - stp);
        } else {
            stpc = (stp > stx) ? stpmax : stpmin;
        }
        const f64 stpq = stp + (dp / (dp - dx)) * (stx - stp);
        if (brackt) {
            stpf = (std::fabs(stpc - stp) < std::fabs(stpq - stp)) ? stpc : stpq;
            const f64 limit = stp + p66 * (sty - stp);
            stpf = (stp > stx) ? std::fmin(limit, stpf) : std::fmax(limit, stpf);
        } else {
            stpf = (std::fabs(stpc - stp) > std::fabs(stpq - stp)) ? stpc : stpq;
            stpf = std::fmax(stpmin, std::fmin(stpmax, stpf));
        }
    } else {
        // Case 4: the derivative's magnitude does not decrease.
        if (brackt) {
            const f64 theta = 3.0 * (fp - fy) / (sty - stp) + dy + dp;
            const f64 s = std::fmax(std::fabs(theta), std::fmax(std::fabs(dy), std::fabs(dp)));
            f64 gamma = s * std::sqrt((theta / s) * (theta / s) - (dy / s) * (dp / s));
            if (stp > sty) gamma = -gamma;
            const f64 p = (gamma - dp) + theta;
            const f64 q = ((gamma - dp) + gamma) + dy;
            stpf = stp + (p / q) * (sty - stp);
        } else {
            stpf = (stp > stx) ? stpmax : stpmin;
        }
    }
    if (higher) {
        sty = stp;
        fy = fp;
        dy = dp;
    } else {
        if (sgnd < 0.0) {
            sty = stx;
            fy = fx;
            dy = dx;
        }
        stx = stp;
        fx = fp;
        dx = dp;
    }
    stp = stpf;
}

// One step of the search for a step satisfying the strong Wolfe conditions
// for phi(stp) with value f and derivative g at stp. On return task is FG
// (evaluate at the new stp), CONVERGENCE or WARNING (accept stp), or ERROR
// (invalid input on the first call).
void dcsrch(f64 f, f64 g, f64 &stp, f64 stpmax, i64 &task, i64 &msg, LineSearch &s) {
    const f64 ftol = ls_ftol, gtol = ls_gtol, xtol = ls_xtol, stpmin = ls_stpmin;
    if (task == START) {
        if (stp < stpmin) task = ERROR, msg = ERROR_STP1;
        if (stp > stpmax) task = ERROR, msg = ERROR_STP2;
        if (g >= 0.0) task = ERROR, msg = ERROR_INITG;
        if (stpmax < stpmin) task = ERROR, msg = ERROR_STPMAX;
        if (task == ERROR) return;
        s.brackt = 0;
        s.stage = 1;
        s.finit = f;
        s.ginit = g;
        s.gtest = ftol * s.ginit;
        s.width = stpmax - stpmin;
        s.width1 = s.width / p5;
        s.stx = 0.0;
        s.fx = s.finit;
        s.gx = s.ginit;
        s.sty = 0.0;
        s.fy = s.finit;
        s.gy = s.ginit;
        s.stmin = 0.0;
        s.stmax = stp + xtrapu * stp;
        task = FG;
        msg = NO_MSG;
        return;
    }

    const f64 ftest = s.finit + stp * s.gtest;
    if (s.stage == 1 && f <= ftest && g >= 0.0) s.stage = 2;
    if (s.brackt && (stp <= s.stmin || stp >= s.stmax)) task = WARNING, msg = WARN_ROUND;
    if (s.brackt && s.stmax - s.stmin <= xtol * s.stmax) task = WARNING, msg = WARN_XTOL;
    if (stp == stpmax && f <= ftest && g <= s.gtest) task = WARNING, msg = WARN_STPMAX;
    if (stp == stpmin && (f > ftest || g >= s.gtest)) task = WARNING, msg = WARN_STPMIN;
    if (f <= ftest && std::fabs(g) <= gtol * (-s.ginit)) task = CONVERGENCE;
    if (task == WARNING || task == CONVERGENCE) return;

    if (s.stage == 1 && f <= s.fx && f > ftest) {
        // Work on psi(a) = phi(a) - a*gtest, whose minimizer is a sufficient
        // decrease step, until one is found.
        f64 fm = f - stp * s.gtest, fxm = s.fx - s.stx * s.gtest, fym = s.fy - s.sty * s.gtest;
        f64 gm = g - s.gtest, gxm = s.gx - s.gtest, gym = s.gy - s.gtest;
        dcstep(s.stx, fxm, gxm, s.sty, fym, gym, stp, fm, gm, s.brackt, s.stmin, s.stmax);
        s.fx = fxm + s.stx * s.gtest;
        s.fy = fym + s.sty * s.gtest;
        s.gx = gxm + s.gtest;
        s.gy = gym + s.gtest;
    } else {
        dcstep(s.stx, s.fx, s.gx, s.sty, s.fy, s.gy, stp, f, g, s.brackt, s.stmin, s.stmax);
    }
    if (s.brackt) {
        if (std::fabs(s.sty - s.stx) >= p66 * s.width1) stp = s.stx + p5 * (s.sty - s.stx);
        s.width1 = s.width;
        s.width = std::fabs(s.sty - s.stx);
        s.stmin = std::fmin(s.stx, s.sty);
        s.stmax = std::fmax(s.stx, s.sty);
    } else {
        s.stmin = stp + xtrapl * (stp - s.stx);
        s.stmax = stp + xtrapu * (stp - s.stx);
    }
    stp = std::fmax(stp, stpmin);
    stp = std::fmin(stp, stpmax);
    if (s.brackt && (stp <= s.stmin || stp >= s.stmax || s.stmax - s.stmin <= xtol * s.stmax))
        stp = s.stx;
    if (stp == 0.0 && s.stx == 0.0 && !(std::fabs(s.fy) <= DBL_MAX)) {
        // Nothing lower than the start was found and the far end of the
        // bracket is a step whose value was not finite, so no interpolation
        // exists: halve the step instead of returning to the start, which
        // would be accepted as a null step and end the run on the ftol test.
        // Without a finite decrease the search ends by its evaluation limit.
        stp = p5 * s.sty;
        if (stp == 0.0) {  // nothing left to halve: a failed search
            task = ERROR;
            msg = ERROR_STPMIN;
            return;
        }
    }
    task = FG;
    msg = NO_MSG;
}

// ---------------------------------------------------------------------------
// The iteration.

// What the iteration does after a step: start a fresh iteration from the
// current point, or return to the caller.
enum class Next { Iterate, Return };

// Whether the workspace 2mn + 5n + 11m^2 + 8m (and iwa's 3n) of positive n and
// m can be counted in bytes; a size for which it cannot is refused as invalid
// input like a non-positive one, since no caller can hold such a workspace.
enum class Layout { Fits, NTooLarge, MTooLarge };

struct Iteration {
    Box box;
    f64 *x, *f, *g;
    f64 factr, pgtol;
    i64 maxls;
    i64 *task, *task_msg, *ln_task, *ln_msg;
    Memory mem;
    Work w;
    FreeSets fs;
    i64 *iwhere;
    LineSearch ls;

    // Locals saved between calls.
    bool prjctd, cnstnd, boxed;
    i64 nintol, iback, nskip, iter, nseg, nfgv, info, ifun, iword, nact;
    f64 fold, tol, dnorm, gd, stpmx, sbgnrm, stp, gdold, dtd;

    void set_task(i64 status, i64 msg) {
        *task = status;
        *task_msg = msg;
    }
    void reset_memory() {
        info = 0;
        mem.reset();
    }

    void initialise();
    bool input_is_valid(Layout layout);
    void project_into_box();
    Next first_evaluation();
    Next iterate();
    void line_search_setup();
    Next line_search_step();
    Next after_new_x();
    void restore_previous_iterate();

    template <bool Saving>
    void transfer_all(i64 *lsave, i64 *isave, f64 *dsave);
    void load(i64 *lsave, i64 *isave, f64 *dsave) { transfer_all<false>(lsave, isave, dsave); }
    void save(i64 *lsave, i64 *isave, f64 *dsave) { transfer_all<true>(lsave, isave, dsave); }
};

// Every local that survives between calls, with its slot: one list serves
// both directions.
template <bool Saving>
void Iteration::transfer_all(i64 *lsave, i64 *isave, f64 *dsave) {
    auto at = [](auto &slot, auto &field) { transfer<Saving>(slot, field); };
    at(lsave[L_PRJCTD], prjctd);
    at(lsave[L_CNSTND], cnstnd);
    at(lsave[L_BOXED], boxed);
    at(lsave[L_UPDATD], mem.updatd);
    at(isave[I_NINTOL], nintol);
    at(isave[I_IBACK], iback);
    at(isave[I_NSKIP], nskip);
    at(isave[I_HEAD], mem.head);
    at(isave[I_COL], mem.col);
    at(isave[I_ITAIL], mem.itail);
    at(isave[I_ITER], iter);
    at(isave[I_IUPDAT], mem.iupdat);
    at(isave[I_NSEG], nseg);
    at(isave[I_NFGV], nfgv);
    at(isave[I_INFO], info);
    at(isave[I_IFUN], ifun);
    at(isave[I_IWORD], iword);
    at(isave[I_NFREE], fs.nfree);
    at(isave[I_NACT], nact);
    at(isave[I_ILEAVE], fs.ileave);
    at(isave[I_NENTER], fs.nenter);
    at(dsave[D_THETA], mem.theta);
    at(dsave[D_FOLD], fold);
    at(dsave[D_TOL], tol);
    at(dsave[D_DNORM], dnorm);
    at(dsave[D_GD], gd);
    at(dsave[D_STPMX], stpmx);
    at(dsave[D_SBGNRM], sbgnrm);
    at(dsave[D_STP], stp);
    at(dsave[D_GDOLD], gdold);
    at(dsave[D_DTD], dtd);
    // The line search's own state, in the order of its save slots.
    at(isave[I_BRACKT], ls.brackt);
    at(isave[I_STAGE], ls.stage);
    f64 *ls_reals[] = {&ls.ginit, &ls.gtest, &ls.gx,    &ls.gy,    &ls.finit, &ls.fx,    &ls.fy,
                       &ls.stx,   &ls.sty,   &ls.stmin, &ls.stmax, &ls.width, &ls.width1};
    for (i64 k = 0; k < 13; ++k) at(dsave[D_LINE_SEARCH + k], *ls_reals[k]);
}

void Iteration::initialise() {
    tol = factr * epsmach;
    mem.reset();
    mem.itail = 0;
    prjctd = cnstnd = boxed = false;
    iback = iword = nact = 0;
    fs.ileave = fs.nenter = 0;
    fold = dnorm = gd = stpmx = sbgnrm = stp = gdold = dtd = 0.0;
    iter = nfgv = nseg = nintol = nskip = ifun = info = 0;
    fs.nfree = box.n;
}

// Checks n, m, factr and the bounds; on failure task is (ERROR, code).
bool Iteration::input_is_valid(Layout layout) {
    if (box.n <= 0 || layout == Layout::NTooLarge) set_task(ERROR, ERROR_N);
    if (mem.m <= 0 || layout == Layout::MTooLarge) set_task(ERROR, ERROR_M);
    if (factr < 0.0) set_task(ERROR, ERROR_FACTR);
    // Bound arrays of a length no workspace can match are not read.
    const i64 checked = layout == Layout::Fits ? box.n : 0;
    for (i64 i = 0; i < checked; ++i) {
        if (static_cast<uint64_t>(box.nbd[i]) > 3) {
            set_task(ERROR, ERROR_NBD);
            info = -6;
        } else if (box.nbd[i] == 2 && box.l[i] > box.u[i]) {
            set_task(ERROR, ERROR_NOFEAS);
            info = -7;
        }
    }
    return *task != ERROR;
}

// Moves x onto the box and classifies the variables.
void Iteration::project_into_box() {
    for (i64 i = 0; i < box.n; ++i) {
        if (box.has_lower(i) && x[i] < box.l[i]) {
            x[i] = box.l[i];
            prjctd = true;
        } else if (box.has_upper(i) && x[i] > box.u[i]) {
            x[i] = box.u[i];
            prjctd = true;
        }
    }
    boxed = true;
    for (i64 i = 0; i < box.n; ++i) {
        if (box.nbd[i] != 2) boxed = false;
        if (box.nbd[i] != 0) cnstnd = true;
        if (box.nbd[i] == 0) {
            iwhere[i] = -1;
        } else if (box.nbd[i] == 2 && box.u[i] - box.l[i] <= 0.0) {
            iwhere[i] = 3;
        } else {
            iwhere[i] = 0;
        }
    }
}

Next Iteration::first_evaluation() {
    nfgv = 1;
    sbgnrm = projgr(box, x, g);
    if (sbgnrm <= pgtol) {
        set_task(CONVERGENCE, CONV_GRAD);
        return Next::Return;
    }
    return Next::Iterate;
}

// One iteration up to the first trial point of its line search: Cauchy
// point, subspace minimization, search direction.
Next Iteration::iterate() {
    const i64 n = box.n;
    iword = -1;
    bool wrk;
    if (!cnstnd && mem.col > 0) {
        // Unconstrained with memory: the subspace step is the full
        // quasi-Newton step from x.
        copy(n, x, w.z);
        wrk = mem.updatd;
        nseg = 0;
    } else {
        while ((info = cauchy(box, x, g, fs.indx2, iwhere, mem, w, sbgnrm, nseg)) != 0)
            reset_memory();
        nintol += nseg;
        wrk = freev(n, fs, iwhere, mem.updatd, cnstnd, iter);
        nact = n - fs.nfree;
    }
    if (fs.nfree != 0 && mem.col != 0) {
        if (wrk && (info = formk(mem, fs, w.wn, w.snd)) != 0) {
            reset_memory();
            return Next::Iterate;
        }
        info = cmprlb(mem, fs, x, g, w, cnstnd);
        if (info == 0) info = subsm(mem, box, fs, x, g, w, w.wn, iword);
        if (info != 0) {
            reset_memory();
            return Next::Iterate;
        }
    }
    for (i64 i = 0; i < n; ++i) w.d[i] = w.z[i] - x[i];
    line_search_setup();
    return line_search_step();
}

// Step bound, first step, and the start point (x, g, f) kept in t, r, fold.
void Iteration::line_search_setup() {
    const i64 n = box.n;
    dnorm = nrm2(n, w.d);
    dtd = dnorm * dnorm;
    stpmx = big;
    if (cnstnd) {
        if (iter == 0) {
            stpmx = 1.0;
        } else {
            for (i64 i = 0; i < n; ++i) {
                if (box.nbd[i] == 0) continue;
                const f64 a1 = w.d[i];
                if (a1 < 0.0 && box.nbd[i] <= 2) {
                    const f64 a2 = box.l[i] - x[i];
                    if (a2 >= 0.0) {
                        stpmx = 0.0;
                    } else if (a1 * stpmx < a2) {
                        stpmx = a2 / a1;
                    }
                } else if (a1 > 0.0 && box.nbd[i] >= 2) {
                    const f64 a2 = box.u[i] - x[i];
                    if (a2 <= 0.0) {
                        stpmx = 0.0;
                    } else if (a1 * stpmx > a2) {
                        stpmx = a2 / a1;
                    }
                }
            }
        }
    }
    stp = (iter == 0 && !boxed) ? std::fmin(1.0 / dnorm, stpmx) : 1.0;
    copy(n, x, w.t);
    copy(n, g, w.r);
    fold = *f;
    ifun = 0;
    iback = 0;
    *ln_task = START;
    *ln_msg = NO_MSG;
}

void Iteration::restore_previous_iterate() {
    copy(box.n, w.t, x);
    copy(box.n, w.r, g);
    *f = fold;
}

// Digests the value at the current trial (or starts the search), then
// either asks for the next trial, accepts the step, or gives up.
Next Iteration::line_search_step() {
    const i64 n = box.n;
    gd = dot(n, g, w.d);
    bool produced_trial = false;
    if (ifun == 0) {
        gdold = gd;
        if (gd >= 0.0) info = -4;  // not a descent direction
    }
    if (info == 0) {
        dcsrch(*f, gd, stp, stpmx, *ln_task, *ln_msg, ls);
        if (*ln_task == ERROR) {
            // Invalid search input (stp above stpmx by rounding): treat it as a
            // failed search rather than continuing from stale search state.
            info = -10;
        } else if (*ln_task != CONVERGENCE && *ln_task != WARNING) {
            set_task(FG, FG_LNSRCH);
            ifun += 1;
            nfgv += 1;
            iback = ifun - 1;
            produced_trial = true;
            if (stp == 1.0) {
                copy(n, w.z, x);
            } else {
                for (i64 i = 0; i < n; ++i) {
                    f64 xi = w.t[i] + stp * w.d[i];
                    if (box.has_lower(i)) xi = std::fmax(xi, box.l[i]);
                    if (box.has_upper(i)) xi = std::fmin(box.u[i], xi);
                    x[i] = xi;
                }
            }
        } else {
            set_task(NEW_X, NO_MSG);
        }
    }

    if (info != 0 || iback >= maxls) {
        restore_previous_iterate();
        if (mem.col == 0) {
            if (info == 0) {  // withdraw the refused trial
                info = -9;
                nfgv -= 1;
                ifun -= 1;
                iback -= 1;
            }
            set_task(ABNORMAL, NO_MSG);
            iter += 1;
            return Next::Return;
        }
        if (info == 0) nfgv -= 1;
        reset_memory();
        set_task(RESTART, NO_MSG);
        return Next::Iterate;
    }
    if (produced_trial) return Next::Return;
    iter += 1;
    sbgnrm = projgr(box, x, g);
    return Next::Return;
}

// Termination tests at the accepted iterate, then the memory update.
Next Iteration::after_new_x() {
    const i64 n = box.n;
    if (sbgnrm <= pgtol) {
        set_task(CONVERGENCE, CONV_GRAD);
        return Next::Return;
    }
    const f64 ddum = std::fmax(std::fabs(fold), std::fmax(std::fabs(*f), 1.0));
    if (fold - *f <= tol * ddum) {
        set_task(CONVERGENCE, CONV_F);
        if (iback >= 10) info = -5;
        return Next::Return;
    }

    // y = g_new - g_old in r; s = stp d in d.
    for (i64 i = 0; i < n; ++i) w.r[i] = g[i] - w.r[i];
    const f64 rnorm = nrm2(n, w.r);
    const f64 rr = rnorm * rnorm;
    f64 dr, neg_slope;
    if (stp == 1.0) {
        dr = gd - gdold;
        neg_slope = -gdold;
    } else {
        dr = (gd - gdold) * stp;
        scal(n, stp, w.d);
        neg_slope = -gdold * stp;
    }
    if (dr <= epsmach * neg_slope) {  // curvature not safely positive
        mem.updatd = false;
        nskip += 1;
        return Next::Iterate;
    }
    mem.iupdat += 1;
    matupd(mem, w.d, w.r, rr, dr, stp, dtd);
    if (formt(mem) != 0) {
        reset_memory();
        return Next::Iterate;
    }
    mem.updatd = true;
    return Next::Iterate;
}

// The 13 pieces of wa, in order, and their lengths. Non-positive sizes, and
// sizes whose workspace does not fit, get an empty layout: the input check
// refuses them before any piece is touched, and no view is formed from a
// wrapped offset.
constexpr int kPieces = 13;
Layout piece_lengths(i64 n, i64 m, i64 len[kPieces]) {
    for (int k = 0; k < kPieces; ++k) len[k] = 0;
    if (n <= 0) return Layout::Fits;
    vlm::LbfgsbWorkspaceLength total;
    // Too many variables for the 5n reals of the workspace alone.
    if (!vlm::lbfgsb_workspace_length(n, 0, total)) return Layout::NTooLarge;
    if (m <= 0) return Layout::Fits;
    if (!vlm::lbfgsb_workspace_length(n, m, total)) return Layout::MTooLarge;
    // Every piece is part of the total, which fits: none overflows.
    const i64 mn = m * n, m2 = m * m;
    const i64 lengths[kPieces] = {mn, mn, m2, m2, m2, 4 * m2, 4 * m2, n, n, n, n, n, 8 * m};
    for (int k = 0; k < kPieces; ++k) len[k] = lengths[k];
    return Layout::Fits;
}

}  // namespace

extern "C" void setulb(i64 n, i64 m, f64 *x, const f64 *l, const f64 *u, const i64 *nbd, f64 *f,
                       f64 *g, f64 factr, f64 pgtol, f64 *wa, i64 *iwa, i64 *task, i64 *lsave,
                       i64 *isave, f64 *dsave, i64 maxls, i64 *ln_task) {
    Layout layout = Layout::Fits;
    if (task[0] == START) {
        i64 len[kPieces];
        layout = piece_lengths(n, m, len);
        isave[I_MN] = len[0];
        isave[I_M2] = len[2];
        isave[I_4M2] = len[5];
        i64 offset = 0;
        for (int k = 0; k < kPieces; ++k) {
            isave[I_OFFSETS + k] = offset;
            offset += len[k];
        }
    }
    const i64 *off = isave + I_OFFSETS;
    f64 *inner = wa + off[12];
    // Sizes as the views see them: an invalid n or m gets empty views.
    const bool sized = n > 0 && m > 0 && layout == Layout::Fits;
    const i64 vn = sized ? n : 0, vm = sized ? m : 0;

    Iteration it;
    it.box = Box{n, l, u, nbd};
    it.x = x;
    it.f = f;
    it.g = g;
    it.factr = factr;
    it.pgtol = pgtol;
    it.maxls = maxls;
    it.task = task;
    it.task_msg = task + 1;
    it.ln_task = ln_task;
    it.ln_msg = ln_task + 1;
    it.mem = Memory{n,   m, wa + off[0], wa + off[1], wa + off[2], wa + off[3], wa + off[4],
                    1.0, 0, 0,           0,           0,           false};
    it.w =
        Work{wa + off[5],  wa + off[6], wa + off[7],    wa + off[8],    wa + off[9],   wa + off[10],
             wa + off[11], inner,       inner + 2 * vm, inner + 4 * vm, inner + 6 * vm};
    it.fs = FreeSets{n, 0, 0, iwa, iwa + 2 * vn};
    it.iwhere = iwa + vn;

    Next next;
    if (task[0] == START) {
        it.load(lsave, isave, dsave);  // only the line search's slots matter here
        it.initialise();
        if (!it.input_is_valid(layout)) return;  // nothing is saved
        it.project_into_box();
        it.set_task(FG, FG_START);
        it.save(lsave, isave, dsave);
        return;
    }
    it.load(lsave, isave, dsave);
    if (task[0] == FG && task[1] == FG_LNSRCH) {
        next = it.line_search_step();
    } else if (task[0] == FG && task[1] == FG_START) {
        next = it.first_evaluation();
    } else if (task[0] == NEW_X) {
        next = it.after_new_x();
    } else if (task[0] == STOP) {
        if (task[1] == STOP_CPU) it.restore_previous_iterate();
        next = Next::Return;
    } else {
        it.set_task(FG, FG_START);
        next = Next::Return;
    }
    while (next == Next::Iterate) next = it.iterate();
    it.save(lsave, isave, dsave);
}

f64 vlm::lbfgsb_projected_gradient_norm(i64 n, const f64 *l, const f64 *u, const i64 *nbd,
                                        const f64 *x, const f64 *g) {
    return projgr(Box{n, l, u, nbd}, x, g);
}

bool vlm::lbfgsb_workspace_length(i64 n, i64 m, LbfgsbWorkspaceLength &len) {
    if (n < 0 || m < 0) return false;
    constexpr i64 max_elems = PTRDIFF_MAX / static_cast<i64>(sizeof(f64));  // bytes fit too
    i64 mn2, n5, m2x11, m8, wa, iwa;
    if (__builtin_mul_overflow(m, n, &mn2) || __builtin_mul_overflow(mn2, 2, &mn2) ||
        __builtin_mul_overflow(n, 5, &n5) || __builtin_mul_overflow(m, m, &m2x11) ||
        __builtin_mul_overflow(m2x11, 11, &m2x11) || __builtin_mul_overflow(m, 8, &m8) ||
        __builtin_add_overflow(mn2, n5, &wa) || __builtin_add_overflow(wa, m2x11, &wa) ||
        __builtin_add_overflow(wa, m8, &wa) || __builtin_mul_overflow(n, 3, &iwa) ||
        wa > max_elems || iwa > max_elems)
        return false;
    len = {wa, iwa};
    return true;
}
