#include "cli/io/obj_reader.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include "cli/io/byte_reader.h"
#include "cli/io/io_error.h"
#include "cli/io/path_names.h"

namespace vantrel::io {

namespace fs = std::filesystem;

namespace {

// A face corner "v", "v/vt", "v//vn" or "v/vt/vn" resolved to 0-based
// indices; uv is -1 when absent.
struct Corner {
    int vertex;
    int uv;
};

[[noreturn]] void lineError(const std::string& path, std::size_t line, const std::string& what) {
    throwReadError(path, what, "line " + std::to_string(line));
}

int resolveIndex(const std::string& path, std::size_t line, const std::string& token, long count, const char* kind) {
    errno = 0;
    char* end = nullptr;
    const long raw = std::strtol(token.c_str(), &end, 10);
    if (token.empty() || *end != '\0' || errno != 0) {
        lineError(path, line, std::string("bad ") + kind + " index \"" + token + "\"");
    }
    const long index = raw < 0 ? count + raw : raw - 1;
    if (raw == 0 || index < 0 || index >= count) {
        lineError(
            path, line,
            std::string(kind) + " index " + token + " out of range (" + std::to_string(count) + " defined so far)");
    }
    return static_cast<int>(index);
}

// `owner` says what the coordinate belongs to ("vertex 3"), for messages.
double parseCoordinate(const std::string& path, std::size_t line, const std::string& token, const std::string& owner) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(token.c_str(), &end);
    if (token.empty() || *end != '\0') {
        lineError(path, line, "bad number \"" + token + "\"");
    }
    if (!std::isfinite(value)) lineError(path, line, "non-finite coordinate \"" + token + "\"");
    if (!fitsFloat32(value)) {
        lineError(path, line, "coordinate \"" + token + "\" of " + owner + " is too large for 32-bit floats");
    }
    return value;
}

}  // namespace

ObjMesh readObj(const std::string& path) {
    const std::vector<std::uint8_t> bytes = readWholeFile(path);
    // UTF-16 text would read as no lines at all; a UTF-8 byte order mark
    // would hide the keyword of the first line, and with it a vertex.
    const auto startsWith = [&](std::initializer_list<std::uint8_t> mark) {
        return bytes.size() >= mark.size() && std::equal(mark.begin(), mark.end(), bytes.begin());
    };
    if (startsWith({0xFE, 0xFF}) || startsWith({0xFF, 0xFE}))
        throwReadError(path, "the file is UTF-16 text; save it as UTF-8 or ASCII");
    const std::size_t textStart = startsWith({0xEF, 0xBB, 0xBF}) ? 3 : 0;
    std::istringstream text(std::string(bytes.begin() + static_cast<std::ptrdiff_t>(textStart), bytes.end()));
    ObjMesh mesh;
    std::vector<double> texcoords;  // 2 per "vt"
    std::vector<int> cornerUv;      // per vertex, first uv index used, -1 none
    std::string lineText;
    std::size_t lineNumber = 0;
    bool anyUv = false;
    while (std::getline(text, lineText)) {
        ++lineNumber;
        std::istringstream line(lineText);
        std::string keyword;
        if (!(line >> keyword) || keyword[0] == '#') continue;
        if (keyword == "v") {
            std::string x, y, z;
            if (!(line >> x >> y >> z)) lineError(path, lineNumber, "vertex with fewer than 3 coordinates");
            const std::string owner = "vertex " + std::to_string(mesh.positions.size() / 3);
            for (const std::string* t : {&x, &y, &z}) {
                mesh.positions.push_back(parseCoordinate(path, lineNumber, *t, owner));
            }
        } else if (keyword == "vt") {
            std::string u, v;
            if (!(line >> u)) lineError(path, lineNumber, "texture coordinate without a value");
            if (!(line >> v)) v = "0";
            const std::string owner = "texture coordinate " + std::to_string(texcoords.size() / 2);
            texcoords.push_back(parseCoordinate(path, lineNumber, u, owner));
            // OBJ puts the uv origin at the image's bottom left, glTF at its top left.
            texcoords.push_back(1.0 - parseCoordinate(path, lineNumber, v, owner));
        } else if (keyword == "f") {
            const long vertexCount = static_cast<long>(mesh.positions.size() / 3);
            const long uvCount = static_cast<long>(texcoords.size() / 2);
            std::vector<Corner> corners;
            std::string token;
            while (line >> token) {
                const std::size_t slash = token.find('/');
                Corner c{resolveIndex(path, lineNumber, token.substr(0, slash), vertexCount, "vertex"), -1};
                if (slash != std::string::npos) {
                    const std::size_t slash2 = token.find('/', slash + 1);
                    const std::string uvToken =
                        token.substr(slash + 1, slash2 == std::string::npos ? std::string::npos : slash2 - slash - 1);
                    if (!uvToken.empty()) c.uv = resolveIndex(path, lineNumber, uvToken, uvCount, "texture coordinate");
                }
                corners.push_back(c);
            }
            if (corners.size() < 3) lineError(path, lineNumber, "face with fewer than 3 corners");
            cornerUv.resize(static_cast<std::size_t>(vertexCount), -1);
            for (const Corner& c : corners) {
                if (c.uv >= 0 && cornerUv[std::size_t(c.vertex)] < 0) {
                    cornerUv[std::size_t(c.vertex)] = c.uv;
                    anyUv = true;
                }
            }
            for (std::size_t k = 1; k + 1 < corners.size(); ++k) {
                mesh.triangles.push_back({corners[0].vertex, corners[k].vertex, corners[k + 1].vertex});
            }
        }
    }
    if (mesh.positions.empty()) throwReadError(path, "OBJ file has no vertices");
    if (anyUv) {
        mesh.uvs.assign(mesh.positions.size() / 3 * 2, 0.0);
        for (std::size_t v = 0; v < cornerUv.size(); ++v) {
            if (cornerUv[v] < 0) continue;
            mesh.uvs[2 * v] = texcoords[2 * std::size_t(cornerUv[v])];
            mesh.uvs[2 * v + 1] = texcoords[2 * std::size_t(cornerUv[v]) + 1];
        }
    }
    return mesh;
}

MeshAnimation readObjAnimation(const std::string& path, const ReadOptions& options) {
    ObjMesh mesh = readObj(path);
    MeshAnimation anim;
    anim.sourcePath = path;
    anim.vertexCount = mesh.vertexCount();
    anim.frames.push_back(std::move(mesh.positions));
    anim.triangles = std::move(mesh.triangles);
    anim.uvs = std::move(mesh.uvs);
    if (options.frameRate) anim.frameRate = *options.frameRate;
    return anim;
}

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            // Compare the runs as numbers without converting: strip leading zeros,
            // then the longer run is larger.
            std::size_t zi = i, zj = j;
            while (zi + 1 < ei && a[zi] == '0') ++zi;
            while (zj + 1 < ej && b[zj] == '0') ++zj;
            if (ei - zi != ej - zj) return ei - zi < ej - zj;
            const int c = a.compare(zi, ei - zi, b, zj, ej - zj);
            if (c != 0) return c < 0;
            if (ei - i != ej - j) return ei - i < ej - j;  // "01" before "001"
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

namespace {

bool hasObjExtension(const fs::path& p) { return lowerExtension(p.string()) == ".obj"; }

// Matches NAME against a printf pattern "PREFIX%[0W]dSUFFIX".
bool matchesPrintf(const std::string& name, const std::string& prefix, int width, bool zeroPad,
                   const std::string& suffix) {
    if (name.size() < prefix.size() + suffix.size() + 1) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return false;
    }
    if (zeroPad)
        return static_cast<int>(digits.size()) >= width && (digits.size() == std::size_t(width) || digits[0] != '0');
    return digits.size() == 1 || digits[0] != '0';
}

}  // namespace

std::vector<std::string> listObjSequence(const std::string& directoryOrPattern) {
    std::vector<std::string> files;
    std::error_code ec;
    if (fs::is_directory(directoryOrPattern, ec)) {
        for (const auto& entry : fs::directory_iterator(directoryOrPattern, ec)) {
            if (entry.is_regular_file(ec) && hasObjExtension(entry.path())) files.push_back(entry.path().string());
        }
        if (ec) throwReadError(directoryOrPattern, "cannot list directory: " + ec.message());
    } else {
        const fs::path pattern(directoryOrPattern);
        const std::string namePattern = pattern.filename().string();
        fs::path dir = pattern.parent_path();
        if (dir.empty()) dir = ".";
        const std::size_t percent = namePattern.find('%');
        std::string prefix, suffix;
        int width = 0;
        bool zeroPad = false;
        const bool isPrintf = percent != std::string::npos;
        if (isPrintf) {
            std::size_t k = percent + 1;
            if (k < namePattern.size() && namePattern[k] == '0') {
                zeroPad = true;
                ++k;
            }
            while (k < namePattern.size() && std::isdigit(static_cast<unsigned char>(namePattern[k]))) {
                width = width * 10 + (namePattern[k] - '0');
                if (width > 64) break;
                ++k;
            }
            if (k >= namePattern.size() || namePattern[k] != 'd' || width > 64) {
                throwReadError(directoryOrPattern, "unsupported pattern: only one %d or %0Nd is understood");
            }
            prefix = namePattern.substr(0, percent);
            suffix = namePattern.substr(k + 1);
            if (suffix.find('%') != std::string::npos) {
                throwReadError(directoryOrPattern, "unsupported pattern: more than one %d");
            }
        }
        if (!fs::is_directory(dir, ec)) throwReadError(directoryOrPattern, "no such directory " + dir.string());
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            if (!entry.is_regular_file(ec)) continue;
            const std::string name = entry.path().filename().string();
            const bool match = isPrintf ? matchesPrintf(name, prefix, width, zeroPad, suffix)
                                        : fnmatch(namePattern.c_str(), name.c_str(), 0) == 0;
            if (match) files.push_back(entry.path().string());
        }
        if (ec) throwReadError(directoryOrPattern, "cannot list directory: " + ec.message());
    }
    if (files.empty()) throwReadError(directoryOrPattern, "no OBJ files match");
    std::sort(files.begin(), files.end(), naturalLess);
    return files;
}

namespace {

// A note when the numbers in a sequence's file names skip some (walk_9.obj,
// then walk_12.obj): the files are played as consecutive frames whatever their
// numbers, which the user should know. Only names that differ in their last
// run of digits alone are compared; the usual step is the smallest one.
std::optional<std::string> sequenceGapNote(const std::vector<std::string>& files) {
    struct Numbered {
        std::string name;
        unsigned long long number;
    };
    std::vector<Numbered> numbered;
    std::string prefix, suffix;
    for (const std::string& file : files) {
        const std::string name = fs::path(file).filename().string();
        const std::size_t end = name.find_last_of("0123456789");
        if (end == std::string::npos) return std::nullopt;
        std::size_t begin = end;
        while (begin > 0 && std::isdigit(static_cast<unsigned char>(name[begin - 1]))) --begin;
        if (end - begin + 1 > 18) return std::nullopt;
        if (numbered.empty()) {
            prefix = name.substr(0, begin);
            suffix = name.substr(end + 1);
        } else if (name.compare(0, begin, prefix) != 0 || name.substr(end + 1) != suffix) {
            return std::nullopt;
        }
        numbered.push_back({name, std::stoull(name.substr(begin, end - begin + 1))});
    }
    unsigned long long step = 0;
    for (std::size_t k = 1; k < numbered.size(); ++k) {
        const unsigned long long difference = numbered[k].number - numbered[k - 1].number;
        if (difference > 0 && (step == 0 || difference < step)) step = difference;
    }
    std::size_t first = 0, gaps = 0;
    for (std::size_t k = 1; k < numbered.size(); ++k) {
        if (step > 0 && numbered[k].number - numbered[k - 1].number > step) {
            if (gaps++ == 0) first = k;
        }
    }
    if (gaps == 0) return std::nullopt;
    std::string note = "file numbers jump from " + std::to_string(numbered[first - 1].number) + " to " +
                       std::to_string(numbered[first].number) + " (" + numbered[first - 1].name + ", " +
                       numbered[first].name + ")";
    if (step > 1) note += " where the others step by " + std::to_string(step);
    if (gaps > 1) note += ", and in " + std::to_string(gaps - 1) + " more place" + (gaps > 2 ? "s" : "");
    note += "; the files are taken as consecutive frames, so " + numbered[first].name + " is frame " +
            std::to_string(first);
    return note;
}

}  // namespace

MeshAnimation readObjSequence(const std::string& directoryOrPattern, const ReadOptions& options) {
    const std::vector<std::string> files = listObjSequence(directoryOrPattern);
    MeshAnimation anim;
    anim.sourcePath = directoryOrPattern;
    if (const std::optional<std::string> note = sequenceGapNote(files)) anim.notes.push_back(*note);
    if (options.frameRate) anim.frameRate = *options.frameRate;
    for (std::size_t f = 0; f < files.size(); ++f) {
        ObjMesh mesh = readObj(files[f]);
        if (f == 0) {
            anim.vertexCount = mesh.vertexCount();
            anim.triangles = std::move(mesh.triangles);
            anim.uvs = std::move(mesh.uvs);
        } else if (mesh.vertexCount() != anim.vertexCount) {
            throwReadError(files[f],
                           "vertex count " + std::to_string(mesh.vertexCount()) + " differs from the sequence's " +
                               std::to_string(anim.vertexCount) + " (first file " + files[0] + ")",
                           "frame " + std::to_string(f));
        } else if (mesh.triangles != anim.triangles) {
            throwReadError(files[f], "faces differ from those of the sequence's first file " + files[0],
                           "frame " + std::to_string(f));
        }
        anim.frames.push_back(std::move(mesh.positions));
    }
    return anim;
}

void applyObjTopology(MeshAnimation& anim, const std::string& objPath, bool asBindPose) {
    ObjMesh mesh = readObj(objPath);
    if (mesh.vertexCount() != anim.vertexCount) {
        throwReadError(objPath, "topology has " + std::to_string(mesh.vertexCount()) + " vertices but " +
                                    anim.sourcePath + " has " + std::to_string(anim.vertexCount));
    }
    anim.triangles = std::move(mesh.triangles);
    anim.uvs = std::move(mesh.uvs);
    if (asBindPose) anim.topologyBindPose = std::move(mesh.positions);
}

}  // namespace vantrel::io
