#include "cli/io/gltf_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>

#include <tiny_gltf.h>
#include <nlohmann/json.hpp>

#include "cli/io/byte_reader.h"
#include "cli/io/io_error.h"
#include "cli/io/matrix4.h"
#include "cli/io/path_names.h"

namespace vantrel::io {

namespace {

constexpr std::size_t kMaxFrames = 1000000;
// Bounds what a file can make us allocate: elements of an accessor without
// data (all zeros), and frames x vertices x 3 of the sampled animation.
constexpr std::uint64_t kMaxElements = std::uint64_t(1) << 24;
constexpr std::uint64_t kMaxSampledValues = std::uint64_t(1) << 28;

// Images play no part in a mesh animation: accept and skip them.
bool skipImage(tinygltf::Image*, const int, std::string*, std::string*, int, int, const unsigned char*, int, void*) {
    return true;
}

// glTF 1.0 differs throughout (objects keyed by id instead of arrays,
// shaders, no skins of today's form): rather than tinygltf's complaint about
// the first missing 2.0 object, say what the file is.
const char* const kGltf1Refusal = "glTF 1.0 is not supported; convert it to glTF 2.0";

// A glTF 1.0 document: it says so in asset.version, or, lacking an asset,
// keeps its nodes, meshes or accessors in objects keyed by id.
bool isGltf1(const nlohmann::json& document) {
    if (!document.is_object()) return false;
    const auto asset = document.find("asset");
    if (asset != document.end()) {
        if (!asset->is_object() || !asset->contains("version") || !(*asset)["version"].is_string()) return false;
        const std::string version = (*asset)["version"].get<std::string>();
        return version == "1" || version.compare(0, 2, "1.") == 0;
    }
    for (const char* collection : {"nodes", "meshes", "accessors", "bufferViews", "buffers", "scenes"}) {
        const auto found = document.find(collection);
        if (found != document.end() && found->is_object()) return true;
    }
    return false;
}

// Required extensions that store the geometry compressed: the accessors of
// such a file hold no data of their own, and tinygltf would only complain
// about the first of them. Extensions that change materials, textures or
// lights leave the geometry as it is, and quantized attributes are read.
const char* const kCompressedGeometryExtensions[] = {"KHR_draco_mesh_compression", "EXT_meshopt_compression"};

// The first extension the document requires that stores its geometry
// compressed; empty when it requires none.
std::string requiredCompression(const nlohmann::json& document) {
    if (!document.is_object()) return {};
    const auto required = document.find("extensionsRequired");
    if (required == document.end() || !required->is_array()) return {};
    for (const nlohmann::json& name : *required) {
        if (!name.is_string()) continue;
        for (const char* compressed : kCompressedGeometryExtensions)
            if (name.get<std::string>() == compressed) return compressed;
    }
    return {};
}

// The chunk layout of a .glb, checked before tinygltf sees it.
void checkGlbLayout(const std::vector<std::uint8_t>& bytes, const std::string& path) {
    ByteReader in(bytes, path);
    if (in.bytes(4, "the GLB magic") != "glTF") in.fail("bad magic, not a GLB file (expected \"glTF\")", 0);
    const std::uint32_t version = in.u32le("the GLB version");
    if (version == 1) throwReadError(path, kGltf1Refusal);
    if (version != 2) in.fail("unsupported GLB version " + std::to_string(version) + " (expected 2)", 4);
    const std::uint32_t length = in.u32le("the GLB length");
    if (length > bytes.size() || length < 20) {
        in.fail(
            "GLB length " + std::to_string(length) + " does not fit the " + std::to_string(bytes.size()) + "-byte file",
            8);
    }
    const std::uint32_t jsonLength = in.u32le("the JSON chunk length");
    if (in.bytes(4, "the JSON chunk type") != "JSON") in.fail("first GLB chunk is not JSON", 16);
    in.requireRange(20, jsonLength, 1, "JSON chunk");
    if (20 + std::uint64_t(jsonLength) > length) in.fail("JSON chunk runs past the GLB length", 12);
    std::uint64_t at = 20 + std::uint64_t(jsonLength);
    if (at + 8 <= length) {
        in.seek(std::size_t(at), "the BIN chunk");
        const std::uint32_t binLength = in.u32le("the BIN chunk length");
        in.bytes(4, "the BIN chunk type");
        if (at + 8 + binLength > length) {
            in.fail("BIN chunk of " + std::to_string(binLength) + " bytes runs past the GLB length", std::size_t(at));
        }
    }
}

// The JSON document of a .gltf or (its layout checked) a .glb file; a
// discarded value when it does not parse.
nlohmann::json parseDocument(const std::vector<std::uint8_t>& bytes, bool binary) {
    std::size_t begin = 0, length = bytes.size();
    if (binary) {
        std::uint32_t jsonLength = 0;
        std::memcpy(&jsonLength, bytes.data() + 12, 4);
        begin = 20;
        length = jsonLength;
    }
    const char* text = reinterpret_cast<const char*>(bytes.data()) + begin;
    return nlohmann::json::parse(text, text + length, nullptr, false);
}

// %XX escapes decoded, as tinygltf decodes them before opening the file.
std::string percentDecoded(const std::string& uri) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 0;
    };
    std::string out;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '+') {
            out += ' ';
        } else if (uri[i] == '%' && i + 2 < uri.size()) {
            out += char(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
            i += 2;
        } else {
            out += uri[i];
        }
    }
    return out;
}

bool hasScheme(const std::string& uri) {
    const std::size_t colon = uri.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(uri[0]))) return false;
    return std::all_of(uri.begin(), uri.begin() + std::ptrdiff_t(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// The files a glTF file's buffers name, each checked to lie in the file's
// own folder: a file read for its animation must not be able to pull in any
// other file (its bytes would end up in the outputs). Data URIs stay with
// tinygltf; an unparsable document gives no files (tinygltf reports it).
std::vector<std::string> externalBuffers(const std::string& path, const nlohmann::json& document) {
    if (document.is_discarded() || !document.is_object() || !document.contains("buffers") ||
        !document["buffers"].is_array()) {
        return {};
    }
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
    std::error_code ec;
    const fs::path canonicalFolder = fs::canonical(folder, ec);
    std::vector<std::string> files;
    const nlohmann::json& buffers = document["buffers"];
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        if (!buffers[b].is_object() || !buffers[b].contains("uri") || !buffers[b]["uri"].is_string()) continue;
        const std::string uri = buffers[b]["uri"].get<std::string>();
        if (uri.empty()) continue;
        const std::string shown = "buffer URI \"" + (uri.size() > 60 ? uri.substr(0, 57) + "..." : uri) + "\"";
        const std::string where = "buffer " + std::to_string(b);
        if (uri.compare(0, 5, "data:") == 0) {
            if (tinygltf::IsDataURI(uri)) continue;
            throwReadError(path, shown + " is a data: URI of a form that cannot be read (expected base64 data)", where);
        }
        if (hasScheme(uri)) {
            throwReadError(
                path, shown + " has a scheme other than data:; only files in the glTF file's folder are read", where);
        }
        const fs::path relative = fs::path(percentDecoded(uri));
        if (relative.is_absolute()) {
            throwReadError(path, shown + " is an absolute path; only files in the glTF file's folder are read", where);
        }
        const fs::path normal = relative.lexically_normal();
        if (normal.empty() || *normal.begin() == "..") {
            throwReadError(path, shown + " leaves the glTF file's folder; only files in it are read", where);
        }
        const fs::path file = folder / normal;
        // A symbolic link may lead out of the folder too.
        const fs::path resolved = fs::weakly_canonical(file, ec);
        if (ec) throwReadError(path, shown + " cannot be resolved: " + ec.message(), where);
        if (canonicalFolder.empty() || resolved.lexically_relative(canonicalFolder).empty() ||
            *resolved.lexically_relative(canonicalFolder).begin() == "..") {
            throwReadError(path, shown + " leaves the glTF file's folder; only files in it are read", where);
        }
        if (fs::exists(resolved, ec) && !fs::is_regular_file(resolved, ec)) {
            throwReadError(path, shown + " does not name a regular file", where);
        }
        files.push_back(resolved.string());
    }
    return files;
}

// tinygltf opens external files through these: only the buffers checked
// above, by their resolved paths, and nothing from the current folder or
// elsewhere that tinygltf might also look in.
struct AllowedFiles {
    std::set<std::string> paths;

    bool allows(const std::string& path) const {
        std::error_code ec;
        const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
        return !ec && paths.count(resolved.string()) > 0;
    }
    static bool exists(const std::string& path, void* self) {
        std::error_code ec;
        return static_cast<const AllowedFiles*>(self)->allows(path) && std::filesystem::is_regular_file(path, ec);
    }
    static std::string expand(const std::string& path, void*) { return path; }
    static bool read(std::vector<unsigned char>* out, std::string* err, const std::string& path, void* self) {
        if (!static_cast<const AllowedFiles*>(self)->allows(path)) {
            if (err) *err = "not a buffer of this file";
            return false;
        }
        try {
            *out = readWholeFile(path);
        } catch (const ReadError& error) {
            if (err) *err = error.what();
            return false;
        }
        return true;
    }
    static bool write(std::string* err, const std::string&, const std::vector<unsigned char>&, void*) {
        if (err) *err = "writing is not allowed";
        return false;
    }
};

class GltfFile {
public:
    GltfFile(const tinygltf::Model& model, const std::string& path) : m_(model), path_(path) {}

    [[noreturn]] void fail(const std::string& what, const std::string& where = {}) const {
        throwReadError(path_, what, where);
    }

    // Accessor `index` as doubles, `components` per element (checked against
    // its type); normalized integers are mapped to [0,1] or [-1,1].
    std::vector<double> read(int index, int expectedType, const char* what) const {
        const std::string where = "accessor " + std::to_string(index);
        if (index < 0 || std::size_t(index) >= m_.accessors.size())
            fail(std::string("missing accessor for ") + what, where);
        const tinygltf::Accessor& a = m_.accessors[std::size_t(index)];
        if (a.sparse.isSparse) fail(std::string("sparse accessors are not supported (") + what + ")", where);
        if (a.type != expectedType) fail(std::string("wrong element type for ") + what, where);
        const int components = tinygltf::GetNumComponentsInType(std::uint32_t(a.type));
        const int componentSize = tinygltf::GetComponentSizeInBytes(std::uint32_t(a.componentType));
        if (components <= 0 || componentSize <= 0) fail(std::string("bad component type for ") + what, where);
        const std::uint64_t count = a.count;
        const std::uint64_t elementSize = std::uint64_t(components) * std::uint64_t(componentSize);
        if (a.bufferView < 0) {
            if (count > kMaxElements) fail(std::string("absurd element count for ") + what, where);
            return std::vector<double>(std::size_t(count * std::uint64_t(components)), 0.0);  // all zeros
        }
        if (std::size_t(a.bufferView) >= m_.bufferViews.size()) fail("buffer view index out of range", where);
        const tinygltf::BufferView& view = m_.bufferViews[std::size_t(a.bufferView)];
        if (view.buffer < 0 || std::size_t(view.buffer) >= m_.buffers.size()) fail("buffer index out of range", where);
        const std::vector<unsigned char>& data = m_.buffers[std::size_t(view.buffer)].data;
        if (std::uint64_t(view.byteOffset) > data.size() ||
            std::uint64_t(view.byteLength) > data.size() - view.byteOffset) {
            fail("buffer view " + std::to_string(a.bufferView) + " runs past its buffer", where);
        }
        const std::uint64_t stride = view.byteStride ? std::uint64_t(view.byteStride) : elementSize;
        if (stride < elementSize) fail("buffer view stride smaller than an element", where);
        if (count > 0) {
            // Overflow safe: offset + stride * (count - 1) + elementSize <= length.
            const std::uint64_t length = view.byteLength, offset = a.byteOffset;
            if (offset > length || elementSize > length - offset ||
                count - 1 > (length - offset - elementSize) / stride) {
                fail(std::string("elements of ") + what + " run past buffer view " + std::to_string(a.bufferView),
                     where);
            }
        }
        if (std::uint64_t(a.byteOffset) % std::uint64_t(componentSize) != 0) fail("misaligned accessor", where);
        std::vector<double> out(std::size_t(count * std::uint64_t(components)));
        const unsigned char* base = data.data() + view.byteOffset + a.byteOffset;
        for (std::uint64_t e = 0; e < count; ++e) {
            for (int c = 0; c < components; ++c) {
                const unsigned char* p = base + e * stride + std::uint64_t(c) * std::uint64_t(componentSize);
                out[std::size_t(e) * std::size_t(components) + std::size_t(c)] =
                    component(p, a.componentType, a.normalized, where);
            }
        }
        return out;
    }

private:
    double component(const unsigned char* p, int type, bool normalized, const std::string& where) const {
        switch (type) {
            case TINYGLTF_COMPONENT_TYPE_FLOAT: {
                float f;
                std::memcpy(&f, p, 4);
                if (!std::isfinite(f)) fail("non-finite value", where);
                return f;
            }
            case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return normalized ? p[0] / 255.0 : p[0];
            case TINYGLTF_COMPONENT_TYPE_BYTE: {
                const auto v = static_cast<std::int8_t>(p[0]);
                return normalized ? std::max(v / 127.0, -1.0) : v;
            }
            case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
                std::uint16_t v;
                std::memcpy(&v, p, 2);
                return normalized ? v / 65535.0 : v;
            }
            case TINYGLTF_COMPONENT_TYPE_SHORT: {
                std::int16_t v;
                std::memcpy(&v, p, 2);
                return normalized ? std::max(v / 32767.0, -1.0) : v;
            }
            case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
                std::uint32_t v;
                std::memcpy(&v, p, 4);
                return v;
            }
            default: fail("unsupported component type " + std::to_string(type), where);
        }
    }

    const tinygltf::Model& m_;
    std::string path_;
};

struct Sampler {
    std::vector<double> times;
    std::vector<double> values;  // per key `components` values (x3 for CUBICSPLINE)
    int components = 0;
    enum class Mode { Linear, Step, Cubic } mode = Mode::Linear;
    bool rotation = false;

    std::vector<double> at(double t) const {
        const std::size_t keys = times.size();
        const std::size_t n = std::size_t(components);
        const std::size_t width = mode == Mode::Cubic ? 3 * n : n;
        const std::size_t valueOffset = mode == Mode::Cubic ? n : 0;
        const auto value = [&](std::size_t k) { return values.data() + k * width + valueOffset; };
        std::vector<double> out(n);
        if (t <= times.front() || keys == 1) {
            std::copy(value(0), value(0) + n, out.begin());
            return out;
        }
        if (t >= times.back()) {
            std::copy(value(keys - 1), value(keys - 1) + n, out.begin());
            return out;
        }
        const std::size_t k1 = std::size_t(std::upper_bound(times.begin(), times.end(), t) - times.begin());
        const std::size_t k0 = k1 - 1;
        const double dt = times[k1] - times[k0];
        const double s = dt > 0 ? (t - times[k0]) / dt : 0.0;
        const double* a = value(k0);
        const double* b = value(k1);
        if (mode == Mode::Step) {
            std::copy(a, a + n, out.begin());
        } else if (mode == Mode::Cubic) {
            const double* outTangent = values.data() + k0 * width + 2 * n;
            const double* inTangent = values.data() + k1 * width;
            const double s2 = s * s, s3 = s2 * s;
            for (std::size_t c = 0; c < n; ++c) {
                out[c] = (2 * s3 - 3 * s2 + 1) * a[c] + (s3 - 2 * s2 + s) * dt * outTangent[c] +
                         (-2 * s3 + 3 * s2) * b[c] + (s3 - s2) * dt * inTangent[c];
            }
        } else if (rotation) {
            double dot = 0;
            for (std::size_t c = 0; c < 4; ++c) dot += a[c] * b[c];
            const double sign = dot < 0 ? -1.0 : 1.0;
            dot = std::abs(dot);
            double wa = 1 - s, wb = s;
            if (dot < 0.9995) {
                const double theta = std::acos(std::min(dot, 1.0));
                wa = std::sin((1 - s) * theta) / std::sin(theta);
                wb = std::sin(s * theta) / std::sin(theta);
            }
            for (std::size_t c = 0; c < 4; ++c) out[c] = wa * a[c] + sign * wb * b[c];
        } else {
            for (std::size_t c = 0; c < n; ++c) out[c] = (1 - s) * a[c] + s * b[c];
        }
        if (rotation) {
            const double len = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2] + out[3] * out[3]);
            if (len > 0) {
                for (double& x : out) x /= len;
            } else {
                out = {0, 0, 0, 1};
            }
        }
        return out;
    }
};

struct Channel {
    int node = 0;
    std::string path;
    Sampler sampler;
};

struct Primitive {
    std::size_t first = 0;  // first vertex in the joined mesh
    std::size_t count = 0;
    std::vector<double> positions;
    std::vector<std::vector<double>> targets;  // position deltas per morph target
};

// One glTF animation: the channels that move the mesh, and the times (its
// own, in seconds) at which it is sampled.
struct Take {
    std::string clipName;
    std::vector<Channel> channels;
    std::vector<double> times;
};

// "animation 2" or "animation 2 ("walk")", for messages.
std::string animationLabel(const tinygltf::Animation& a, std::size_t index) {
    return "animation " + std::to_string(index) + (a.name.empty() ? "" : " (\"" + a.name + "\")");
}

// Every animation of the file, channels checked and sampled at the union of
// their key times or at the requested rate from the first key to the last; an
// animation without keys gives one frame, the still pose.
std::vector<Take> readTakes(const GltfFile& file, const tinygltf::Model& model, int meshNode, std::size_t targetCount,
                            const ReadOptions& options) {
    const std::size_t nodeCount = model.nodes.size();
    std::vector<Take> takes;
    std::size_t frameTotal = 0;
    for (std::size_t ai = 0; ai < model.animations.size(); ++ai) {
        const tinygltf::Animation& a = model.animations[ai];
        Take take;
        // Clip names must tell the clips apart: an unnamed animation, or one
        // named like an earlier clip, is named by its index.
        take.clipName = a.name.empty() ? "animation " + std::to_string(ai) : a.name;
        for (const Take& earlier : takes) {
            if (earlier.clipName == take.clipName) take.clipName += " (animation " + std::to_string(ai) + ")";
        }
        for (std::size_t ci = 0; ci < a.channels.size(); ++ci) {
            const tinygltf::AnimationChannel& c = a.channels[ci];
            const std::string where = "animation " + std::to_string(ai) + ", channel " + std::to_string(ci);
            if (c.target_node < 0) continue;  // no node: the target of an extension, nothing of ours
            if (std::size_t(c.target_node) >= nodeCount) {
                file.fail(animationLabel(a, ai) + ", channel " + std::to_string(ci) + " targets node " +
                          std::to_string(c.target_node) + ", which does not exist (the file has " +
                          std::to_string(nodeCount) + (nodeCount == 1 ? " node)" : " nodes)"));
            }
            if (c.sampler < 0 || std::size_t(c.sampler) >= a.samplers.size())
                file.fail("sampler index out of range", where);
            const tinygltf::AnimationSampler& s = a.samplers[std::size_t(c.sampler)];
            Channel ch;
            ch.node = c.target_node;
            ch.path = c.target_path;
            int type;
            if (ch.path == "translation" || ch.path == "scale") {
                type = TINYGLTF_TYPE_VEC3;
                ch.sampler.components = 3;
            } else if (ch.path == "rotation") {
                type = TINYGLTF_TYPE_VEC4;
                ch.sampler.components = 4;
                ch.sampler.rotation = true;
            } else if (ch.path == "weights") {
                if (c.target_node != meshNode) continue;
                type = TINYGLTF_TYPE_SCALAR;
                ch.sampler.components = int(targetCount);
            } else {
                continue;
            }
            if (s.interpolation == "STEP")
                ch.sampler.mode = Sampler::Mode::Step;
            else if (s.interpolation == "CUBICSPLINE")
                ch.sampler.mode = Sampler::Mode::Cubic;
            ch.sampler.times = file.read(s.input, TINYGLTF_TYPE_SCALAR, "animation input");
            ch.sampler.values = file.read(s.output, type, "animation output");
            if (ch.sampler.times.empty()) file.fail("animation sampler without keys", where);
            for (std::size_t k = 1; k < ch.sampler.times.size(); ++k) {
                if (!(ch.sampler.times[k] > ch.sampler.times[k - 1])) file.fail("key times do not increase", where);
            }
            const std::size_t perKey =
                std::size_t(ch.sampler.components) * (ch.sampler.mode == Sampler::Mode::Cubic ? 3 : 1);
            if (ch.sampler.values.size() != perKey * ch.sampler.times.size())
                file.fail("animation output count does not match its keys", where);
            if (ch.sampler.components == 0) continue;
            take.channels.push_back(std::move(ch));
        }

        std::vector<double>& times = take.times;
        for (const Channel& c : take.channels)
            times.insert(times.end(), c.sampler.times.begin(), c.sampler.times.end());
        std::sort(times.begin(), times.end());
        times.erase(std::unique(times.begin(), times.end()), times.end());
        if (times.empty()) times.push_back(0.0);
        if (options.frameRate && times.size() > 1) {
            const double first = times.front(), span = times.back() - first;
            const double steps = std::floor(span * *options.frameRate + 1e-9);
            if (!(steps < double(kMaxFrames))) {
                file.fail("sampling the animation at the requested rate gives too many frames",
                          "animation " + std::to_string(ai));
            }
            times.clear();
            for (std::size_t k = 0; k <= std::size_t(steps); ++k)
                times.push_back(first + double(k) / *options.frameRate);
        }
        frameTotal += times.size();
        if (frameTotal > kMaxFrames) file.fail("animations have too many frames", "animation " + std::to_string(ai));
        takes.push_back(std::move(take));
    }
    return takes;
}

// Where the animations' frames go on the one timeline of the mesh animation.
struct Timeline {
    std::vector<double> times;            // per frame, seconds, increasing
    std::vector<std::size_t> firstFrame;  // per animation
    double rate = 24.0;                   // frames per second
    std::size_t frameCount() const { return times.size(); }
};

// The animations one after another: the first at its own key times, each
// later one starting a frame (at the file's rate) after the one before ends.
// The rate is the requested one, else the mean key rate over the animations.
Timeline layOutTakes(const std::vector<Take>& takes, const ReadOptions& options) {
    Timeline timeline;
    double intervals = 0, span = 0;
    for (const Take& take : takes) {
        intervals += double(take.times.size() - 1);
        span += take.times.back() - take.times.front();
    }
    timeline.rate = options.frameRate.value_or(intervals > 0 && span > 0 ? intervals / span : 24.0);
    if (takes.empty()) timeline.times.push_back(0.0);
    for (const Take& take : takes) {
        double shift = 0.0;
        if (!timeline.times.empty()) {
            const double end = timeline.times.back();
            // Keys closer than the rounding of the timeline still start after it.
            shift = std::max(end + 1.0 / timeline.rate, std::nextafter(end, HUGE_VAL)) - take.times.front();
        }
        timeline.firstFrame.push_back(timeline.times.size());
        for (double t : take.times) timeline.times.push_back(t + shift);
    }
    return timeline;
}

bool isBinaryGltf(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    return lowerExtension(path) == ".glb" || (bytes.size() >= 4 && std::memcmp(bytes.data(), "glTF", 4) == 0);
}

// The model of the file's bytes, its external buffers limited to the ones it
// names beside it.
tinygltf::Model loadModel(const std::string& path, const std::vector<std::uint8_t>& bytes, bool binary) {
    if (binary) checkGlbLayout(bytes, path);
    const nlohmann::json document = parseDocument(bytes, binary);
    if (isGltf1(document)) throwReadError(path, kGltf1Refusal);
    const std::string compression = requiredCompression(document);
    if (!compression.empty())
        throwReadError(path, "the geometry is compressed with " + compression +
                                 ", which is not supported; export the file without mesh compression");
    AllowedFiles allowed;
    for (const std::string& file : externalBuffers(path, document)) allowed.paths.insert(file);
    tinygltf::TinyGLTF loader;
    loader.SetImageLoader(skipImage, nullptr);
    loader.SetFsCallbacks(
        {&AllowedFiles::exists, &AllowedFiles::expand, &AllowedFiles::read, &AllowedFiles::write, &allowed});
    tinygltf::Model model;
    std::string err, warn;
    const std::string baseDir = std::filesystem::path(path).parent_path().string();
    bool ok;
    if (binary) {
        ok = loader.LoadBinaryFromMemory(&model, &err, &warn, bytes.data(), unsigned(bytes.size()), baseDir);
    } else {
        ok = loader.LoadASCIIFromString(&model, &err, &warn, reinterpret_cast<const char*>(bytes.data()),
                                        unsigned(bytes.size()), baseDir);
    }
    if (!ok) {
        while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
        throwReadError(path, "not a valid glTF file: " + (err.empty() ? std::string("parse error") : err));
    }
    return model;
}

// Parent of every node (-1 for a root): one parent per node, no cycles.
std::vector<int> nodeParents(const GltfFile& file, const tinygltf::Model& model) {
    const std::size_t nodeCount = model.nodes.size();
    std::vector<int> parent(nodeCount, -1);
    for (std::size_t n = 0; n < nodeCount; ++n) {
        for (int c : model.nodes[n].children) {
            if (c < 0 || std::size_t(c) >= nodeCount) {
                file.fail("child index " + std::to_string(c) + " out of range", "node " + std::to_string(n));
            }
            if (parent[std::size_t(c)] >= 0 || std::size_t(c) == n) {
                file.fail("node " + std::to_string(c) + " has more than one parent", "node " + std::to_string(n));
            }
            parent[std::size_t(c)] = int(n);
        }
    }
    for (std::size_t n = 0; n < nodeCount; ++n) {
        std::size_t steps = 0;
        for (int p = parent[n]; p >= 0; p = parent[std::size_t(p)]) {
            if (++steps > nodeCount) file.fail("node hierarchy has a cycle", "node " + std::to_string(n));
        }
    }
    return parent;
}

// The mesh read: the first node's with a skin, else the first node's, else
// the file's first mesh.
struct MeshChoice {
    int node = -1;  // the node placing the mesh, -1 for none
    int mesh = -1;
    int skin = -1;  // the node's skin, -1 for none
};

MeshChoice chooseMesh(const GltfFile& file, const tinygltf::Model& model) {
    const std::size_t nodeCount = model.nodes.size();
    MeshChoice choice;
    for (std::size_t n = 0; n < nodeCount && choice.node < 0; ++n) {
        if (model.nodes[n].mesh >= 0 && model.nodes[n].skin >= 0) choice.node = int(n);
    }
    for (std::size_t n = 0; n < nodeCount && choice.node < 0; ++n) {
        if (model.nodes[n].mesh >= 0) choice.node = int(n);
    }
    choice.mesh = choice.node >= 0 ? model.nodes[std::size_t(choice.node)].mesh : (model.meshes.empty() ? -1 : 0);
    if (choice.mesh < 0 || std::size_t(choice.mesh) >= model.meshes.size()) file.fail("no mesh to read");
    choice.skin = choice.node >= 0 ? model.nodes[std::size_t(choice.node)].skin : -1;
    if (choice.skin >= 0 && std::size_t(choice.skin) >= model.skins.size()) {
        file.fail("skin index out of range", "node " + std::to_string(choice.node));
    }
    return choice;
}

// The chosen mesh's primitives joined into one vertex list.
struct JoinedMesh {
    std::vector<Primitive> prims;
    std::size_t targetCount = 0;  // morph targets, the same in every primitive
    bool anyUv = false;
    std::vector<double> uvs;                             // 2 per vertex, zeros where a primitive has none
    std::vector<std::vector<SkinInfluence>> influences;  // per vertex, with a skin
};

// Triangles of a primitive (mode TRIANGLES), as vertex indices of the joined mesh.
void appendTriangles(const GltfFile& file, const tinygltf::Primitive& p, const Primitive& prim,
                     const std::string& where, MeshAnimation& anim) {
    if (p.mode != TINYGLTF_MODE_TRIANGLES && p.mode != -1) return;
    std::vector<double> indices;
    if (p.indices >= 0) {
        indices = file.read(p.indices, TINYGLTF_TYPE_SCALAR, "indices");
    } else {
        for (std::size_t i = 0; i < prim.count; ++i) indices.push_back(double(i));
    }
    for (std::size_t t = 0; t + 2 < indices.size(); t += 3) {
        std::array<int, 3> tri{};
        for (std::size_t c = 0; c < 3; ++c) {
            const double i = indices[t + c];
            if (i < 0 || i >= double(prim.count)) {
                file.fail("index " + std::to_string(std::int64_t(i)) + " out of range", where);
            }
            tri[c] = int(prim.first + std::size_t(i));
        }
        anim.triangles.push_back(tri);
    }
}

// JOINTS_n / WEIGHTS_n of a primitive of a skinned mesh: every vertex keeps
// at least one weight, or skinning would collapse it to the origin.
void readSkinWeights(const GltfFile& file, const tinygltf::Primitive& p, const Primitive& prim, std::size_t jointCount,
                     const std::string& where, std::vector<std::vector<SkinInfluence>>& influences) {
    if (p.attributes.count("JOINTS_0") == 0 || p.attributes.count("WEIGHTS_0") == 0) {
        file.fail("the mesh has a skin but this primitive has no JOINTS_0 and WEIGHTS_0", where);
    }
    for (int set = 0; set < 2; ++set) {
        const auto j = p.attributes.find("JOINTS_" + std::to_string(set));
        const auto w = p.attributes.find("WEIGHTS_" + std::to_string(set));
        if (j == p.attributes.end() || w == p.attributes.end()) continue;
        const std::vector<double> joints = file.read(j->second, TINYGLTF_TYPE_VEC4, "JOINTS");
        const std::vector<double> weights = file.read(w->second, TINYGLTF_TYPE_VEC4, "WEIGHTS");
        if (joints.size() != 4 * prim.count || weights.size() != 4 * prim.count) {
            file.fail("JOINTS/WEIGHTS and POSITION counts differ", where);
        }
        for (std::size_t v = 0; v < prim.count; ++v) {
            for (std::size_t k = 0; k < 4; ++k) {
                const double weight = weights[4 * v + k];
                if (weight == 0) continue;
                if (weight < 0) file.fail("vertex " + std::to_string(prim.first + v) + " has a negative skin weight");
                const double joint = joints[4 * v + k];
                if (joint < 0 || joint >= double(jointCount)) {
                    file.fail("joint index " + std::to_string(std::int64_t(joint)) + " out of range", where);
                }
                influences[prim.first + v].push_back({int(joint), weight});
            }
        }
    }
    for (std::size_t v = prim.first; v < prim.first + prim.count; ++v) {
        if (influences[v].empty()) file.fail("vertex " + std::to_string(v) + " has skin weights that are all zero");
    }
}

// One primitive's positions, morph targets, faces, texture coordinates and
// skin weights, appended to the joined mesh.
void readPrimitive(const GltfFile& file, const tinygltf::Model& model, const MeshChoice& choice, std::size_t index,
                   JoinedMesh& joined, MeshAnimation& anim) {
    const tinygltf::Primitive& p = model.meshes[std::size_t(choice.mesh)].primitives[index];
    const std::string where = "mesh " + std::to_string(choice.mesh) + ", primitive " + std::to_string(index);
    const auto position = p.attributes.find("POSITION");
    if (position == p.attributes.end()) file.fail("primitive without POSITION", where);
    Primitive prim;
    prim.first = std::size_t(anim.vertexCount);
    prim.positions = file.read(position->second, TINYGLTF_TYPE_VEC3, "POSITION");
    prim.count = prim.positions.size() / 3;
    if (prim.first + prim.count > 0x7fffffff) file.fail("too many vertices", where);
    for (const auto& target : p.targets) {
        const auto t = target.find("POSITION");
        std::vector<double> delta = t == target.end()
                                        ? std::vector<double>(prim.positions.size(), 0.0)
                                        : file.read(t->second, TINYGLTF_TYPE_VEC3, "morph target POSITION");
        if (delta.size() != prim.positions.size()) file.fail("morph target and POSITION counts differ", where);
        prim.targets.push_back(std::move(delta));
    }
    if (index > 0 && prim.targets.size() != joined.targetCount) {
        file.fail("primitives have different morph target counts", where);
    }
    joined.targetCount = prim.targets.size();

    appendTriangles(file, p, prim, where, anim);
    const auto tex = p.attributes.find("TEXCOORD_0");
    joined.uvs.resize(2 * (prim.first + prim.count), 0.0);
    if (tex != p.attributes.end()) {
        const std::vector<double> uv = file.read(tex->second, TINYGLTF_TYPE_VEC2, "TEXCOORD_0");
        if (uv.size() != 2 * prim.count) file.fail("TEXCOORD_0 and POSITION counts differ", where);
        std::copy(uv.begin(), uv.end(), joined.uvs.begin() + std::ptrdiff_t(2 * prim.first));
        joined.anyUv = true;
    }
    joined.influences.resize(prim.first + prim.count);
    if (choice.skin >= 0) {
        const std::size_t jointCount = model.skins[std::size_t(choice.skin)].joints.size();
        readSkinWeights(file, p, prim, jointCount, where, joined.influences);
    }
    anim.vertexCount = int(prim.first + prim.count);
    joined.prims.push_back(std::move(prim));
}

JoinedMesh readMesh(const GltfFile& file, const tinygltf::Model& model, const MeshChoice& choice, MeshAnimation& anim) {
    const tinygltf::Mesh& mesh = model.meshes[std::size_t(choice.mesh)];
    if (model.meshes.size() > 1) {
        anim.notes.push_back("the file has " + std::to_string(model.meshes.size()) + " meshes; only mesh " +
                             std::to_string(choice.mesh) + (mesh.name.empty() ? "" : " (\"" + mesh.name + "\")") +
                             " is read" + (choice.skin >= 0 ? ", the first with a skin" : ""));
    }
    JoinedMesh joined;
    for (std::size_t pi = 0; pi < mesh.primitives.size(); ++pi) readPrimitive(file, model, choice, pi, joined, anim);
    if (anim.vertexCount == 0) file.fail("mesh has no vertices", "mesh " + std::to_string(choice.mesh));
    if (joined.anyUv) anim.uvs = std::move(joined.uvs);
    return joined;
}

// Default morph weights: the node's, else the mesh's, else zeros.
std::vector<double> restMorphWeights(const tinygltf::Model& model, const MeshChoice& choice, std::size_t targetCount) {
    std::vector<double> restWeights(targetCount, 0.0);
    const std::vector<double>& w = choice.node >= 0 && !model.nodes[std::size_t(choice.node)].weights.empty()
                                       ? model.nodes[std::size_t(choice.node)].weights
                                       : model.meshes[std::size_t(choice.mesh)].weights;
    for (std::size_t i = 0; i < std::min(w.size(), targetCount); ++i) restWeights[i] = w[i];
    return restWeights;
}

// The skin's joints as nodes, their inverse bind matrices, and whether every
// one of those can be inverted.
struct Skeleton {
    std::vector<int> joints;
    std::vector<Matrix4> inverseBind;
    bool invertibleBind = true;
};

// Names and parents of the skin's joints go to anim, with a note when the
// bind pose cannot be used.
Skeleton readSkeleton(const GltfFile& file, const tinygltf::Model& model, int skinIndex, const std::vector<int>& parent,
                      MeshAnimation& anim) {
    Skeleton skeleton;
    const std::size_t nodeCount = model.nodes.size();
    const tinygltf::Skin& skin = model.skins[std::size_t(skinIndex)];
    std::vector<int>& skinJoints = skeleton.joints;
    skinJoints = skin.joints;
    const std::string where = "skin " + std::to_string(skinIndex);
    for (int j : skinJoints) {
        if (j < 0 || std::size_t(j) >= nodeCount) file.fail("joint node " + std::to_string(j) + " out of range", where);
    }
    skeleton.inverseBind.assign(skinJoints.size(), identityMatrix());
    if (skin.inverseBindMatrices >= 0) {
        const std::vector<double> m = file.read(skin.inverseBindMatrices, TINYGLTF_TYPE_MAT4, "inverse bind matrices");
        if (m.size() != 16 * skinJoints.size())
            file.fail("inverse bind matrix count differs from the joint count", where);
        for (std::size_t j = 0; j < skinJoints.size(); ++j) {
            std::copy(m.begin() + std::ptrdiff_t(16 * j), m.begin() + std::ptrdiff_t(16 * j + 16),
                      skeleton.inverseBind[j].begin());
        }
    }
    for (std::size_t j = 0; j < skinJoints.size(); ++j) {
        const tinygltf::Node& node = model.nodes[std::size_t(skinJoints[j])];
        anim.jointNames.push_back(node.name.empty() ? "joint" + std::to_string(j) : node.name);
        int parentJoint = -1;
        for (int p = parent[std::size_t(skinJoints[j])]; p >= 0 && parentJoint < 0; p = parent[std::size_t(p)]) {
            const auto it = std::find(skinJoints.begin(), skinJoints.end(), p);
            if (it != skinJoints.end()) parentJoint = int(it - skinJoints.begin());
        }
        anim.jointParents.push_back(parentJoint);
        // The bind pose puts each joint at the inverse of its matrix.
        const Matrix4 bindWorld = inverse(skeleton.inverseBind[j]);
        if (skeleton.invertibleBind &&
            !std::all_of(bindWorld.begin(), bindWorld.end(), [](double x) { return std::isfinite(x); })) {
            skeleton.invertibleBind = false;
            anim.notes.push_back("the inverse bind matrix of joint " + std::to_string(j) + " (\"" +
                                 anim.jointNames.back() +
                                 "\") cannot be inverted, so the skin's bind pose is not used");
        }
    }
    return skeleton;
}

// Evaluates the scene at one time of one animation's channels (none: the
// still pose) and stores the mesh's world positions as a frame of anim.
class FrameEvaluator {
public:
    FrameEvaluator(const GltfFile& file, const tinygltf::Model& model, const std::vector<int>& parent,
                   const MeshChoice& choice, const JoinedMesh& mesh, const Skeleton& skeleton,
                   std::vector<double> restWeights, MeshAnimation& anim)
        : file_(file),
          model_(model),
          parent_(parent),
          choice_(choice),
          mesh_(mesh),
          skeleton_(skeleton),
          restWeights_(std::move(restWeights)),
          anim_(anim),
          nodeCount_(model.nodes.size()),
          staticTrs_(nodeCount_),
          hasMatrix_(nodeCount_, false) {
        // Static local transforms, as TRS or a matrix per node.
        for (std::size_t n = 0; n < nodeCount_; ++n) {
            const tinygltf::Node& node = model.nodes[n];
            Trs& trs = staticTrs_[n];
            if (node.matrix.size() == 16) hasMatrix_[n] = true;
            if (node.translation.size() == 3) {
                std::copy(node.translation.begin(), node.translation.end(), trs.translation.begin());
            }
            if (node.rotation.size() == 4) std::copy(node.rotation.begin(), node.rotation.end(), trs.rotation.begin());
            if (node.scale.size() == 3) std::copy(node.scale.begin(), node.scale.end(), trs.scale.begin());
        }
    }

    void evaluate(const std::vector<Channel>& channels, double t, std::size_t f) const {
        std::vector<Trs> trs = staticTrs_;
        std::vector<bool> animated(nodeCount_, false);
        std::vector<double> morph = restWeights_;
        for (const Channel& c : channels) {
            const std::vector<double> v = c.sampler.at(t);
            const std::size_t n = std::size_t(c.node);
            if (c.path == "weights") {
                morph = v;
                continue;
            }
            animated[n] = true;
            if (c.path == "translation") std::copy(v.begin(), v.end(), trs[n].translation.begin());
            if (c.path == "rotation") std::copy(v.begin(), v.end(), trs[n].rotation.begin());
            if (c.path == "scale") std::copy(v.begin(), v.end(), trs[n].scale.begin());
        }
        const std::vector<Matrix4> world = worldMatrices(trs, animated);
        const std::vector<double> morphed = morphedPositions(morph);
        std::vector<double>& out = anim_.frames[f];
        out.assign(morphed.size(), 0.0);
        if (choice_.skin >= 0) {
            skin(world, morphed, f, out);
        } else {
            const Matrix4 place = choice_.node >= 0 ? world[std::size_t(choice_.node)] : identityMatrix();
            for (std::size_t v = 0; 3 * v < morphed.size(); ++v) {
                const Vec3 q = transformPoint({morphed[3 * v], morphed[3 * v + 1], morphed[3 * v + 2]}, place);
                std::copy(q.begin(), q.end(), out.begin() + std::ptrdiff_t(3 * v));
            }
        }
        checkPositions(out, f);
    }

private:
    // World matrices (row vectors: world = local * parent's world).
    std::vector<Matrix4> worldMatrices(const std::vector<Trs>& trs, const std::vector<bool>& animated) const {
        std::vector<Matrix4> world(nodeCount_);
        std::vector<bool> done(nodeCount_, false);
        for (std::size_t n = 0; n < nodeCount_; ++n) {
            std::vector<std::size_t> chain;
            for (int p = int(n); p >= 0 && !done[std::size_t(p)]; p = parent_[std::size_t(p)]) {
                chain.push_back(std::size_t(p));
            }
            for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
                const std::size_t k = *it;
                Matrix4 local;
                if (hasMatrix_[k] && !animated[k]) {
                    std::copy(model_.nodes[k].matrix.begin(), model_.nodes[k].matrix.end(), local.begin());
                } else {
                    local = trsMatrix(trs[k]);
                }
                world[k] = parent_[k] >= 0 ? multiply(local, world[std::size_t(parent_[k])]) : local;
                done[k] = true;
            }
        }
        return world;
    }

    // Object-space positions with the morph targets applied.
    std::vector<double> morphedPositions(const std::vector<double>& morph) const {
        std::vector<double> morphed(3 * std::size_t(anim_.vertexCount));
        for (const Primitive& prim : mesh_.prims) {
            for (std::size_t i = 0; i < 3 * prim.count; ++i) {
                double x = prim.positions[i];
                for (std::size_t k = 0; k < prim.targets.size(); ++k) x += morph[k] * prim.targets[k][i];
                morphed[3 * prim.first + i] = x;
            }
        }
        return morphed;
    }

    // Linear blend skinning by the joints' world matrices, which frame f of
    // anim.jointWorld also keeps.
    void skin(const std::vector<Matrix4>& world, const std::vector<double>& morphed, std::size_t f,
              std::vector<double>& out) const {
        const std::vector<int>& skinJoints = skeleton_.joints;
        std::vector<Matrix4> jointMatrix(skinJoints.size());
        anim_.jointWorld[f].resize(skinJoints.size());
        for (std::size_t j = 0; j < skinJoints.size(); ++j) {
            anim_.jointWorld[f][j] = world[std::size_t(skinJoints[j])];
            jointMatrix[j] = multiply(skeleton_.inverseBind[j], world[std::size_t(skinJoints[j])]);
        }
        for (std::size_t v = 0; 3 * v < morphed.size(); ++v) {
            const Vec3 p{morphed[3 * v], morphed[3 * v + 1], morphed[3 * v + 2]};
            for (const SkinInfluence& s : mesh_.influences[v]) {
                const Vec3 q = transformPoint(p, jointMatrix[std::size_t(s.joint)]);
                for (std::size_t c = 0; c < 3; ++c) out[3 * v + c] += s.weight * q[c];
            }
        }
    }

    // Extreme but finite node values can still overflow, in double or past
    // what the float32 output can hold.
    void checkPositions(const std::vector<double>& out, std::size_t f) const {
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (!std::isfinite(out[i])) {
                file_.fail("non-finite position of vertex " + std::to_string(i / 3), "frame " + std::to_string(f));
            }
            if (!fitsFloat32(out[i])) {
                file_.fail("position of vertex " + std::to_string(i / 3) + " is too large for 32-bit floats",
                           "frame " + std::to_string(f));
            }
        }
    }

    const GltfFile& file_;
    const tinygltf::Model& model_;
    const std::vector<int>& parent_;
    const MeshChoice& choice_;
    const JoinedMesh& mesh_;
    const Skeleton& skeleton_;
    std::vector<double> restWeights_;
    MeshAnimation& anim_;
    std::size_t nodeCount_;
    std::vector<Trs> staticTrs_;
    std::vector<bool> hasMatrix_;
};

}  // namespace

std::vector<std::string> gltfBufferFiles(const std::string& path) {
    InputFile file(path);
    std::vector<std::uint8_t> bytes = file.prefix(20);
    if (!isBinaryGltf(path, bytes)) return externalBuffers(path, parseDocument(readWholeFile(path), false));
    // A .glb's JSON chunk only; the reader checks the rest of its layout.
    if (bytes.size() < 20 || std::memcmp(bytes.data(), "glTF", 4) != 0) return {};
    std::uint32_t jsonLength = 0;
    std::memcpy(&jsonLength, bytes.data() + 12, 4);
    if (20 + std::uint64_t(jsonLength) > file.size()) return {};
    bytes.resize(20 + std::size_t(jsonLength));
    file.read(0, bytes.data(), bytes.size());
    return externalBuffers(path, parseDocument(bytes, true));
}

MeshAnimation readGltf(const std::string& path, const ReadOptions& options) {
    const std::vector<std::uint8_t> bytes = readWholeFile(path);
    if (bytes.size() > 0xffffffffu) throwReadError(path, "file larger than 4 GiB");
    const tinygltf::Model model = loadModel(path, bytes, isBinaryGltf(path, bytes));
    GltfFile file(model, path);
    if (options.requireAnimation && model.animations.empty()) {
        file.fail("the file has no animations, only a still pose; a decomposition needs an animation");
    }
    const std::vector<int> parent = nodeParents(file, model);
    const MeshChoice choice = chooseMesh(file, model);

    MeshAnimation anim;
    anim.sourcePath = path;
    const JoinedMesh mesh = readMesh(file, model, choice, anim);

    // Every animation's channels, each checked whether or not its frames are
    // used later: a channel aimed at a node the file lacks is a broken file.
    const std::vector<Take> takes = readTakes(file, model, choice.node, mesh.targetCount, options);
    const Timeline timeline = layOutTakes(takes, options);
    if (std::uint64_t(timeline.frameCount()) * 3 * std::uint64_t(anim.vertexCount) > kMaxSampledValues) {
        file.fail("animation too large to sample (" + std::to_string(timeline.frameCount()) + " frames of " +
                  std::to_string(anim.vertexCount) + " vertices)");
    }
    anim.frameTimes = timeline.times;
    anim.frameRate = timeline.rate;
    for (std::size_t k = 0; k < takes.size(); ++k) {
        anim.clips.push_back({takes[k].clipName, int(timeline.firstFrame[k]), int(takes[k].times.size())});
    }

    Skeleton skeleton;
    if (choice.skin >= 0) {
        skeleton = readSkeleton(file, model, choice.skin, parent, anim);
        anim.skin = mesh.influences;
    }
    bool hasMorphTargets = false;
    for (const Primitive& prim : mesh.prims) hasMorphTargets |= !prim.targets.empty();
    if (choice.skin >= 0 && !hasMorphTargets && skeleton.invertibleBind) {
        anim.inverseBindMatrices = skeleton.inverseBind;
        anim.bindPositions.assign(3 * std::size_t(anim.vertexCount), 0.0);
        for (const Primitive& prim : mesh.prims)
            std::copy(prim.positions.begin(), prim.positions.begin() + std::ptrdiff_t(3 * prim.count),
                      anim.bindPositions.begin() + std::ptrdiff_t(3 * prim.first));
    }

    const FrameEvaluator frames(file, model, parent, choice, mesh, skeleton,
                                restMorphWeights(model, choice, mesh.targetCount), anim);
    anim.frames.resize(timeline.frameCount());
    if (choice.skin >= 0) anim.jointWorld.resize(timeline.frameCount());
    if (takes.empty()) {
        frames.evaluate({}, 0.0, 0);
    } else {
        for (std::size_t k = 0; k < takes.size(); ++k) {
            for (std::size_t i = 0; i < takes[k].times.size(); ++i) {
                frames.evaluate(takes[k].channels, takes[k].times[i], timeline.firstFrame[k] + i);
            }
        }
    }
    return anim;
}

}  // namespace vantrel::io
