#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <typeinfo>
#include <unordered_map>

#include "node.h"
#include "pixel_format_kernels.h"
#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/profile.h"
#include "vellari/platform/work_pool.h"

namespace vellari {
namespace detail {
Image imageFromSharedBytes(std::shared_ptr<const std::vector<uint8_t>> d, const IRect& r);

namespace {

// Large buffers are reused across renders: fresh pages cost a fault each, which for a
// 1080p float frame is as much as the work done in it.
class BufferPool {
public:
    using Block = std::unique_ptr<float[]>;
    Block acquire(size_t floats, size_t& capacity) {
        {
            std::lock_guard lock(mutex_);
            for (size_t i = 0; i < free_.size(); ++i) {
                if (free_[i].size >= floats && free_[i].size <= floats * 2 + (1u << 16)) {
                    Entry e = std::move(free_[i]);
                    free_.erase(free_.begin() + ptrdiff_t(i));
                    held_ -= e.size;
                    capacity = e.size;
                    return std::move(e.block);
                }
            }
        }
        capacity = floats;
        return Block(new float[floats]);
    }
    void release(Block b, size_t floats) {
        if (!b) return;
        std::lock_guard lock(mutex_);
        free_.push_back({std::move(b), floats});
        held_ += floats;
        while (held_ > kMaxHeldFloats && !free_.empty()) {
            held_ -= free_.front().size;
            free_.erase(free_.begin());
        }
    }
    static BufferPool& shared() {
        static BufferPool* p = new BufferPool;
        return *p;
    }

private:
    static constexpr size_t kMaxHeldFloats = (256u << 20) / sizeof(float);
    struct Entry {
        Block block;
        size_t size;
    };
    std::mutex mutex_;
    std::vector<Entry> free_;
    size_t held_ = 0;
};

struct PooledBuffer {
    BufferPool::Block block;
    size_t capacity = 0;
    void allocate(size_t floats) { block = BufferPool::shared().acquire(floats, capacity); }
    float* data() const { return block.get(); }
    ~PooledBuffer() { BufferPool::shared().release(std::move(block), capacity); }
    PooledBuffer() = default;
    PooledBuffer(PooledBuffer&&) = default;
    PooledBuffer& operator=(PooledBuffer&&) = default;
};

struct View {
    IRect rect;
    const float* data = nullptr;  // pixel (rect.x, rect.y)
    ptrdiff_t stride = 0;
    const float* row(int y) const { return data + ptrdiff_t(y - rect.y) * stride; }
    const float* at(int x, int y) const { return row(y) + ptrdiff_t(x - rect.x) * 4; }
};

struct NodeInfo {
    IRect req;                  // union of what consumers need (inside the node's extent)
    bool materialize = false;
    int consumers = 0;          // nodes that read this one
    bool local = false;         // read by one local sampling node: computed per tile
    // The stored node (or the root) whose rendering computes this one; several such, and
    // an unstored node is computed once for each of them.
    const Node* pass = nullptr;
    bool manyPasses = false;
    bool ready = false;         // buffer filled
    PooledBuffer buffer;        // over req
    const float* data = nullptr;  // pixel (req.x, req.y): the buffer, or a source's own pixels
    ptrdiff_t stride = 0;
};

struct Plan {
    std::vector<const Node*> order;  // inputs before consumers
    std::unordered_map<const Node*, NodeInfo> info;
};

IRect extentI(const Node* n) { return n->extent.integral(); }

void collect(const Node* n, Plan& plan, std::unordered_map<const Node*, int>& state) {
    auto& s = state[n];
    if (s) return;
    s = 1;
    for (auto& in : n->inputs) collect(in.get(), plan, state);
    plan.order.push_back(n);
}

// A tile's share of a local input lives in the thread's scratch memory: at most this many
// pixels (64 MB), else the input is stored whole.
constexpr int64_t kMaxLocalPixels = int64_t(1) << 22;

// Whether computing n on demand resamples: a sampling node reached through pointwise,
// alias and offset nodes (not through stored ones, whose flags are not known yet).
bool resamples(const Node* n, int depth = 0) {
    if (n->kind() == Node::Kind::Sampling) return true;
    if (n->kind() == Node::Kind::Source || depth > 16) return false;
    for (auto& in : n->inputs)
        if (resamples(in.get(), depth + 1)) return true;
    return false;
}

// Input pixels a full tile of n at the corner of `req` reads.
int64_t localArea(const Node* n, int input, const IRect& req) {
    return n->roi(input, IRect{req.x, req.y, std::min(kTileW, req.w), std::min(kTileH, req.h)}).area();
}

int tileHeightFor(const Node* n);

// What one of n's tiles amid `req` reads of an input (at a corner, an edge would hide
// half the margins).
IRect localRoi(const Node* n, int input, const IRect& req) {
    const int w = std::min(kTileW, req.w), h = std::min(tileHeightFor(n), req.h);
    return n->roi(input, IRect{req.x + (req.w - w) / 2, req.y + (req.h - h) / 2, w, h});
}

// A local input's chain may recompute a sampling node's margin at most this many times
// over what a large region would.
constexpr double kWideMarginCost = 2.0;

// How many times over a sampling node's inputs are read for a tile's `want` compared with
// a large region: its margin's share, whatever its scale (a reduction reads more than it
// writes however large the region, a blur only by its margin). Per axis, the roi of a
// smaller span tells the scale, and what is left of the roi of `want` the margin.
double marginCost(const Node* s, const IRect& want) {
    if (want.w < 2 || want.h < 2) return 1;
    // Half of `want` amid it: both lie inside the picture, away from clamped edges.
    const IRect half{want.x + want.w / 4, want.y + want.h / 4, want.w - want.w / 2, want.h - want.h / 2};
    double worst = 1;
    for (size_t i = 0; i < s->inputs.size(); ++i) {
        const IRect a = s->roi(int(i), want), b = s->roi(int(i), half);
        // The input span that the output span's extra pixels take, scaled up to the whole
        // span, against the roi's span.
        auto axis = [](int whole, int part, int span, int partSpan) {
            const double scaled = double(whole - part) * span / double(span - partSpan);
            return scaled > 0 ? std::max(1.0, double(whole) / scaled) : 1.0;
        };
        worst = std::max(worst, axis(a.w, b.w, want.w, half.w) * axis(a.h, b.h, want.h, half.h));
    }
    return worst;
}

// Whether computing `in` over `want` for each tile of its one reader would recompute a
// sampling node's wide margin many times over (an input enlarged from a small region of a
// blur, say): such an input is stored whole instead.
bool recomputesWideMargins(const Node* in, const IRect& want, int depth = 0) {
    if (depth > 32 || in->intermediate || want.empty()) return false;
    switch (in->kind()) {
        case Node::Kind::Source: return false;
        case Node::Kind::Sampling: return marginCost(in, want) > kWideMarginCost;
        case Node::Kind::Offset: return recomputesWideMargins(in->inputs[0].get(), want.offset(-in->dx, -in->dy), depth + 1);
        default:
            for (auto& i : in->inputs)
                if (recomputesWideMargins(i.get(), want, depth + 1)) return true;
            return false;
    }
}

Plan makePlan(const Node* root, const IRect& r) {
    Plan plan;
    std::unordered_map<const Node*, int> state;
    collect(root, plan, state);
    for (auto* n : plan.order) plan.info[n];
    for (auto* n : plan.order)
        for (auto& in : n->inputs) plan.info[in.get()].consumers++;
    plan.info[root].req = r.intersect(extentI(root));
    // Consumers come after their inputs in `order`: walk backwards to push requests down.
    for (auto it = plan.order.rbegin(); it != plan.order.rend(); ++it) {
        const Node* n = *it;
        NodeInfo& ni = plan.info[n];
        if (n->intermediate && n != root) ni.materialize = true;
        if (ni.req.empty()) continue;
        // Read by the renderings of several stored nodes, a resampled picture (a camera
        // frame reduced for both the shading and the lines, say) is stored once rather than
        // resampled, with everything before it, for each of them.
        if (n != root && !ni.materialize && ni.manyPasses && resamples(n)) ni.materialize = true;
        const bool ownPass = n == root || ni.materialize;
        const Node* pass = ownPass ? n : ni.pass;
        const bool manyPasses = !ownPass && ni.manyPasses;
        for (size_t i = 0; i < n->inputs.size(); ++i) {
            const Node* in = n->inputs[i].get();
            IRect want;
            switch (n->kind()) {
                case Node::Kind::Offset: want = ni.req.offset(-n->dx, -n->dy); break;
                case Node::Kind::Sampling: want = n->roi(int(i), ni.req); break;
                default: want = ni.req; break;
            }
            NodeInfo& ii = plan.info[in];
            if (manyPasses || (ii.pass && ii.pass != pass)) ii.manyPasses = true;
            if (!ii.pass) ii.pass = pass;
            // A stored alias shares its input's buffer instead of copying it.
            if (n->kind() == Node::Kind::Sampling && n->readsLocally() && ii.consumers == 1 && !in->intermediate &&
                !ii.materialize && localArea(n, int(i), ni.req) <= kMaxLocalPixels &&
                !recomputesWideMargins(in, localRoi(n, int(i), ni.req)))
                ii.local = true;
            else if (n->kind() == Node::Kind::Sampling || (n->kind() == Node::Kind::Alias && ni.materialize))
                ii.materialize = true;
            ii.req = ii.req.unite(want.intersect(extentI(in)));
        }
    }
    return plan;
}

size_t planBytes(const Plan& p) {
    size_t b = 0;
    for (auto& [n, i] : p.info)
        if (i.materialize) b += size_t(i.req.area()) * 16;
    return b;
}

// Whether a sampling node that reads rows itself can read those of `in` over r: a source
// behind it that has no float pixels to lend in place (those cost nothing to view whole).
bool readsRows(const Node* in, const IRect& r) {
    IRect at = r;
    const Node* s = sourceBehind(in, at);
    const float* data = nullptr;
    ptrdiff_t stride = 0;
    return s && !s->directView(at, data, stride);
}

// Per-thread scratch memory, reset for every top-level tile.
struct Arena {
    std::vector<std::unique_ptr<float[]>> blocks;
    std::vector<size_t> sizes;
    size_t used = 0;  // blocks handed out in this tile
    float* get(size_t floats) {
        while (used < blocks.size() && sizes[used] < floats) {
            // keep block order stable: replace a too-small block
            blocks[used].reset(new float[floats]);
            sizes[used] = floats;
        }
        if (used == blocks.size()) {
            blocks.emplace_back(new float[floats]);
            sizes.push_back(floats);
        }
        return blocks[used++].get();
    }
};

Arena& threadArena() {
    thread_local Arena a;
    return a;
}

struct Evaluator {
    Plan& plan;
    Arena& arena = threadArena();
    struct MemoEntry {
        const Node* n;
        IRect r;
        View v;
    };
    std::vector<MemoEntry> memo;
    double childSeconds = 0;  // profiling: time of the inputs computed inside a node

    void resetTile() {
        memo.clear();
        arena.used = 0;
    }

    static void zero(const TileBuffer& t) {
        for (int y = t.rect.y; y < t.rect.bottom(); ++y) std::memset(t.row(y), 0, size_t(t.rect.w) * 16);
    }

    // A view of node n covering exactly r (pixels outside n's extent are zero).
    View get(const Node* n, const IRect& r) {
        if (r.empty()) return {r, nullptr, 0};
        NodeInfo& ni = plan.info[n];
        if (ni.ready && ni.req.contains(r))
            return {r, ni.data + ptrdiff_t(r.y - ni.req.y) * ni.stride + ptrdiff_t(r.x - ni.req.x) * 4, ni.stride};
        const IRect e = extentI(n);
        const bool inside = e.contains(r);
        if (inside) {
            if (n->kind() == Node::Kind::Alias) return get(n->inputs[0].get(), r);
            if (n->kind() == Node::Kind::Offset) {
                View v = get(n->inputs[0].get(), r.offset(-n->dx, -n->dy));
                v.rect = r;
                return v;
            }
            if (n->kind() == Node::Kind::Source) {
                View v{r, nullptr, 0};
                if (n->directView(r, v.data, v.stride)) return v;
            }
        }
        for (auto& m : memo)
            if (m.n == n && m.r == r) return m.v;
        float* d = arena.get(size_t(r.w) * r.h * 4);
        TileBuffer t{r, d, ptrdiff_t(r.w) * 4};
        compute(n, t);
        View v{r, d, t.stride};
        memo.push_back({n, r, v});
        return v;
    }

    // Computes node n's pixels into t (ignoring n's own buffer).
    void compute(const Node* n, const TileBuffer& t) {
        if (!RenderProfile::enabled()) return computeNode(n, t);
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        const double outer = childSeconds;
        childSeconds = 0;
        computeNode(n, t);
        const double total = std::chrono::duration<double>(Clock::now() - start).count();
        detail::addProfileTime(n->label, total - childSeconds);
        childSeconds = outer + total;
    }

    void computeNode(const Node* n, const TileBuffer& t) {
        const IRect c = t.rect.intersect(extentI(n));
        if (!(c == t.rect)) zero(t);
        if (c.empty()) return;
        TileBuffer tc{c, t.at(c.x, c.y), t.stride};
        switch (n->kind()) {
            case Node::Kind::Source: n->readTile(tc); break;
            case Node::Kind::Alias:
            case Node::Kind::Offset: {
                IRect src = n->kind() == Node::Kind::Offset ? c.offset(-n->dx, -n->dy) : c;
                View v = get(n->inputs[0].get(), src);
                for (int y = 0; y < c.h; ++y)
                    std::memcpy(tc.row(c.y + y), v.row(src.y + y), size_t(c.w) * 16);
                break;
            }
            case Node::Kind::Pointwise: {
                const size_t k = n->inputs.size();
                const float* ptrs[8];
                std::vector<const float*> big;
                const float** p = ptrs;
                if (k > 8) {
                    big.resize(k);
                    p = big.data();
                }
                std::vector<View> views(k);
                for (size_t i = 0; i < k; ++i) views[i] = get(n->inputs[i].get(), c);
                for (int y = c.y; y < c.bottom(); ++y) {
                    for (size_t i = 0; i < k; ++i) p[i] = views[i].row(y);
                    n->evalSpan(p, tc.row(y), c.w, c.x, y);
                }
                break;
            }
            case Node::Kind::Sampling: {
                const size_t k = n->inputs.size();
                std::vector<SamplerView> sv(k);
                std::vector<View> local;
                for (size_t i = 0; i < k; ++i) {
                    const Node* in = n->inputs[i].get();
                    NodeInfo& ii = plan.info[in];
                    if (ii.local) {
                        IRect want = n->roi(int(i), c);
                        if (!in->extent.isInfinite()) want = want.intersect(extentI(in));
                        if (n->readsRowsItself(int(i)) && !want.empty() && readsRows(in, want)) {
                            sv[i] = SamplerView{want, nullptr, 0, in->nearest};
                            continue;
                        }
                        local.push_back(get(in, want));
                        sv[i] = SamplerView{want, local.back().data, local.back().stride, in->nearest};
                        if (want.empty()) {
                            static const float zeros[4] = {0, 0, 0, 0};
                            sv[i] = SamplerView{{0, 0, 0, 0}, zeros, 0, in->nearest};
                        }
                    } else if (ii.ready) {
                        sv[i] = SamplerView{ii.req, ii.data, ii.stride, in->nearest};
                    } else {
                        // Not planned (request outside the input's extent): nothing to read.
                        static const float zeros[4] = {0, 0, 0, 0};
                        sv[i] = SamplerView{{0, 0, 0, 0}, zeros, 0, in->nearest};
                    }
                }
                n->evalTile(sv.data(), tc);
                break;
            }
        }
    }
};

// One evaluator for each thread of a pass, made on its first tile and reset for each.
struct Evaluators {
    Plan& plan;
    std::vector<std::unique_ptr<Evaluator>> each;
    Evaluators(Plan& p, int threads) : plan(p), each(size_t(std::max(1, threads))) {}
    Evaluator& forTile(int who) {
        auto& ev = each[size_t(who)];
        if (!ev) ev = std::make_unique<Evaluator>(Evaluator{plan, threadArena(), {}, 0});
        ev->resetTile();
        return *ev;
    }
};

// Tiles of a node whose inputs are read over little more than the tile are short: the
// chain of pointwise results a tile computes then stays in the nearest caches. Those that
// read a wide margin (coherence passes, long blurs) keep tall tiles, the margin being
// recomputed or read once a tile.
constexpr int kShortTileH = 32;

int tileHeightFor(const Node* n) {
    if (n->kind() != Node::Kind::Sampling) return kShortTileH;
    const IRect probe{0, 0, kTileW, kShortTileH};
    for (size_t i = 0; i < n->inputs.size(); ++i)
        if (n->roi(int(i), probe).area() * 4 > probe.area() * 5) return kTileH;
    return kShortTileH;
}

// Calls f(participant, tile) for every tile of r on up to `threads` threads, tiles at
// most tileH rows high.
template <class F>
void forTiles(const IRect& r, int threads, int tileH, F&& f) {
    // Small regions (pyramid levels that read large inputs) still use every thread.
    const int tx = (r.w + kTileW - 1) / kTileW;
    while (tileH > 8 && tx * ((r.h + tileH - 1) / tileH) < 4 * threads) tileH /= 2;
    const int ty = (r.h + tileH - 1) / tileH;
    WorkPool::shared().parallelFor(tx * ty, threads, [&](int who, int i) {
        int x = r.x + (i % tx) * kTileW, y = r.y + (i / tx) * tileH;
        f(who, IRect{x, y, std::min(kTileW, r.right() - x), std::min(tileH, r.bottom() - y)});
    });
}

// A tile's pixels into the output, whose row starts are rowBytes apart.
void storeTile(const View& v, const IRect& t, PixelFormat f, uint8_t* d, size_t rowBytes) {
    if (f != PixelFormat::RGBAf) return floatsToBytes(v.row(t.y), v.stride, d, rowBytes, size_t(t.w), size_t(t.h), f);
    for (int y = t.y; y < t.bottom(); ++y) std::memcpy(d + size_t(y - t.y) * rowBytes, v.row(y), size_t(t.w) * 16);
}

int threadCount(const Context::Options& o) {
    if (o.threads > 0) return o.threads;
    return WorkPool::shared().size();
}

// With VELLARI_PLAN_DUMP set, every render lists its nodes, inputs first: number, kind,
// whether stored whole (S), computed per tile inside its one reader (T) or in the renders
// of several stored nodes (M), label, region, its inputs' numbers and its type.
void dumpPlan(Plan& plan) {
    static const char* kinds[] = {"source", "pointwise", "sampling", "alias", "offset"};
    std::unordered_map<const Node*, size_t> index;
    for (const Node* n : plan.order) {
        const NodeInfo& ni = plan.info[n];
        std::string ins;
        for (auto& in : n->inputs) {
            ins += ' ';
            ins += std::to_string(index[in.get()]);
        }
        const size_t id = index.size();
        index[n] = id;
        const char* mark = ni.materialize ? "S" : ni.local ? "T" : ni.manyPasses ? "M" : "-";
        std::fprintf(stderr, "plan %3zu %-9s %s %-40s %dx%d at %d,%d <-%s %s\n", id, kinds[int(n->kind())], mark,
                     n->label.c_str(), ni.req.w, ni.req.h, ni.req.x, ni.req.y, ins.c_str(), typeid(*n).name());
    }
    std::fprintf(stderr, "plan end\n");
}

void renderRegion(const Node* root, const IRect& r, PixelFormat format, uint8_t* out, size_t rowBytes,
                  const IRect& outRect, int threads) {
    Plan plan = makePlan(root, r);
    static const bool dump = std::getenv("VELLARI_PLAN_DUMP") != nullptr;
    if (dump) dumpPlan(plan);
    for (const Node* n : plan.order) {
        NodeInfo& ni = plan.info[n];
        if (!ni.materialize || ni.req.empty()) continue;
        if (n->kind() == Node::Kind::Source && n->directView(ni.req, ni.data, ni.stride)) {
            ni.ready = true;
            continue;
        }
        if (n->kind() == Node::Kind::Alias) {
            const NodeInfo& ii = plan.info[n->inputs[0].get()];
            if (ii.ready && ii.req.contains(ni.req)) {
                ni.data = ii.data + ptrdiff_t(ni.req.y - ii.req.y) * ii.stride + ptrdiff_t(ni.req.x - ii.req.x) * 4;
                ni.stride = ii.stride;
                ni.ready = true;
                continue;
            }
        }
        ni.buffer.allocate(size_t(ni.req.area()) * 4);
        const IRect req = ni.req;
        float* base = ni.buffer.data();
        Evaluators evs(plan, threads);
        forTiles(req, threads, tileHeightFor(n), [&](int who, const IRect& t) {
            TileBuffer tb{t, base + (ptrdiff_t(t.y - req.y) * req.w + (t.x - req.x)) * 4, ptrdiff_t(req.w) * 4};
            evs.forTile(who).compute(n, tb);
        });
        ni.data = base;
        ni.stride = ptrdiff_t(req.w) * 4;
        ni.ready = true;
    }
    Evaluators evs(plan, threads);
    const size_t bpp = bytesPerPixel(format);
    // Float output is the tiles' own format: they are computed in place, not copied.
    if (format == PixelFormat::RGBAf && rowBytes % sizeof(float) == 0 &&
        reinterpret_cast<uintptr_t>(out) % alignof(float) == 0) {
        forTiles(r, threads, tileHeightFor(root), [&](int who, const IRect& t) {
            uint8_t* corner = out + size_t(t.y - outRect.y) * rowBytes + size_t(t.x - outRect.x) * bpp;
            float* at = reinterpret_cast<float*>(corner);
            evs.forTile(who).compute(root, TileBuffer{t, at, ptrdiff_t(rowBytes / sizeof(float))});
        });
        return;
    }
    forTiles(r, threads, tileHeightFor(root), [&](int who, const IRect& t) {
        const View v = evs.forTile(who).get(root, t);
        storeTile(v, t, format, out + size_t(t.y - outRect.y) * rowBytes + size_t(t.x - outRect.x) * bpp, rowBytes);
    });
}

}  // namespace

const Node* sourceBehind(const Node* n, IRect& r) {
    for (;;) {
        if (n->kind() == Node::Kind::Source) return n;
        if (n->kind() == Node::Kind::Alias && extentI(n).contains(r)) {
            n = n->inputs[0].get();
        } else if (n->kind() == Node::Kind::Offset) {
            r = r.offset(-n->dx, -n->dy);
            n = n->inputs[0].get();
        } else {
            return nullptr;
        }
    }
}

// An 8-bit picture rendered to an 8-bit format (a flattened frame shown, say) is its bytes
// reordered: the same values as converting to floats and back, without the conversion.
bool copyBytes(const Node* n, const IRect& r, PixelFormat f, uint8_t* out, size_t rowBytes, int threads) {
    if (f == PixelFormat::RGBAf) return false;
    IRect at = r;
    n = sourceBehind(n, at);
    const uint8_t* src = nullptr;
    size_t srcRowBytes = 0;
    if (!n || !n->byteView(at, src, srcRowBytes)) return false;
    const int rowsPerBand = std::max(1, (r.h + 4 * threads - 1) / (4 * threads));
    WorkPool::shared().parallelFor((r.h + rowsPerBand - 1) / rowsPerBand, threads, [&](int, int band) {
        const int y = band * rowsPerBand, rows = std::min(r.h, y + rowsPerBand) - y;
        reorderBytes(src + size_t(y) * srcRowBytes, srcRowBytes, out + size_t(y) * rowBytes, rowBytes, size_t(r.w),
                     size_t(rows), f);
    });
    return true;
}

float* threadScratch(int slot, size_t floats) {
    thread_local std::vector<std::vector<float>> slots;
    if (slot >= int(slots.size())) slots.resize(size_t(slot) + 1);
    auto& v = slots[size_t(slot)];
    if (v.size() < floats) v.resize(floats);
    return v.data();
}

}  // namespace detail

size_t bytesPerPixel(PixelFormat f) { return f == PixelFormat::RGBAf ? 16 : 4; }

void Context::render(const Image& image, const Rect& rect, PixelFormat format, void* data, size_t rowBytes) const {
    const IRect r = rect.integral();
    if (r.empty() || !data) return;
    uint8_t* out = static_cast<uint8_t*>(data);
    const size_t bpp = bytesPerPixel(format);
    const IRect inside = image ? r.intersect(image.extent().integral()) : IRect{};
    // Only what the image leaves uncovered is cleared; the rest is written by the render.
    for (int y = 0; y < r.h; ++y) {
        uint8_t* row = out + y * rowBytes;
        const int yy = r.y + y;
        if (inside.empty() || yy < inside.y || yy >= inside.bottom()) {
            std::memset(row, 0, size_t(r.w) * bpp);
            continue;
        }
        std::memset(row, 0, size_t(inside.x - r.x) * bpp);
        std::memset(row + size_t(inside.right() - r.x) * bpp, 0, size_t(r.right() - inside.right()) * bpp);
    }
    if (inside.empty()) return;
    const detail::Node* root = image.node().get();
    const int threads = detail::threadCount(options_);
    if (detail::copyBytes(root, inside, format, out + size_t(inside.y - r.y) * rowBytes + size_t(inside.x - r.x) * bpp,
                          rowBytes, threads))
        return;

    // Large outputs render in bands so that intermediate buffers stay within budget.
    size_t bytes = detail::planBytes(detail::makePlan(root, inside));
    int bands = 1;
    if (bytes > options_.memoryBudget) bands = int((bytes + options_.memoryBudget - 1) / options_.memoryBudget);
    bands = std::min(bands, std::max(1, inside.h / 64));
    const int bandH = (inside.h + bands - 1) / bands;
    for (int y = inside.y; y < inside.bottom(); y += bandH) {
        IRect band{inside.x, y, inside.w, std::min(bandH, inside.bottom() - y)};
        detail::renderRegion(root, band, format, out, rowBytes, r, threads);
    }
}

Bitmap Context::render(const Image& image, const Rect& rect, PixelFormat format) const {
    Bitmap b;
    IRect r = rect.integral();
    b.width = r.w;
    b.height = r.h;
    b.format = format;
    b.rowBytes = size_t(std::max(0, r.w)) * bytesPerPixel(format);
    b.bytes.resize(b.rowBytes * std::max(0, r.h));
    render(image, rect, format, b.bytes.data(), b.rowBytes);
    return b;
}

Picture Context::createPicture(const Image& image, const Rect& rect) const {
    IRect r = rect.integral();
    if (r.empty() || !image) return {};
    std::vector<float> f(size_t(r.w) * r.h * 4);
    render(image, rect, PixelFormat::RGBAf, f.data(), size_t(r.w) * 16);
    std::vector<uint8_t> px(f.size());
    for (size_t i = 0; i < f.size(); i += 4) {
        float a = std::clamp(f[i + 3], 0.0f, 1.0f);
        for (int c = 0; c < 3; ++c) {
            float v = a > 0 ? f[i + c] / a : 0.0f;
            v = std::clamp(v, 0.0f, 1.0f);
            px[i + c] = uint8_t(v * 255.0f + 0.5f);
        }
        px[i + 3] = uint8_t(a * 255.0f + 0.5f);
    }
    return Picture(r.w, r.h, std::move(px));
}

const Context& defaultContext() {
    static Context* c = new Context;
    return *c;
}

ImageAccumulator::ImageAccumulator(const Rect& extent) : rect_(extent.integral()) { clear(); }

void ImageAccumulator::clear() {
    pixels_ = std::make_shared<std::vector<uint8_t>>(size_t(std::max<int64_t>(0, rect_.area())) * 4, uint8_t(0));
}

void ImageAccumulator::setImage(const Image& image) { setImage(image, Rect::fromIRect(rect_)); }

void ImageAccumulator::setImage(const Image& image, const Rect& dirty) {
    IRect d = dirty.integral().intersect(rect_);
    if (rect_.empty()) return;
    // Earlier snapshots keep their pixels: write into another buffer when this one is
    // shared. The buffer before is reused once its snapshots are gone (a frame a time), so
    // a stream of frames does not pay for fresh pages and a copy every frame.
    if (pixels_.use_count() > 1) {
        std::shared_ptr<std::vector<uint8_t>> next;
        if (spare_ && spare_.use_count() == 1 && spare_->size() == pixels_->size())
            next = std::move(spare_);
        else
            next = std::make_shared<std::vector<uint8_t>>(pixels_->size());
        if (!(d == rect_)) *next = *pixels_;  // what the update leaves alone stays
        spare_ = std::move(pixels_);
        pixels_ = std::move(next);
    }
    if (d.empty()) return;
    const size_t rowBytes = size_t(rect_.w) * 4;
    uint8_t* base = pixels_->data() + size_t(d.y - rect_.y) * rowBytes + size_t(d.x - rect_.x) * 4;
    defaultContext().render(image, Rect::fromIRect(d), PixelFormat::RGBA8, base, rowBytes);
}

Image ImageAccumulator::image() const {
    if (rect_.empty()) return Image::empty();
    return detail::imageFromSharedBytes(pixels_, rect_);
}

}  // namespace vellari
