#include "cli/report_page.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "cli/io/atomic_file.h"
#include "cli/report_page_markup.h"

namespace vantrel::cli {

namespace {

// Little-endian byte arrays, as the page's typed arrays read them.
class LittleEndian {
public:
    void u16(std::uint16_t v) {
        bytes_.push_back(static_cast<std::uint8_t>(v & 0xff));
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xff));
    }
    void f32(float v) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        u32(bits);
    }
    std::string base64() const { return base64Encode(bytes_.data(), bytes_.size()); }

private:
    std::vector<std::uint8_t> bytes_;
};

std::uint16_t quantise(double value, double origin, double step) {
    if (step <= 0.0) return 0;
    const double q = std::round((value - origin) / step);
    return static_cast<std::uint16_t>(std::clamp(q, 0.0, 65535.0));
}

// JSON safe to place inside <script>: no "</" that could close the element.
std::string scriptSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '<' && i + 1 < text.size() && text[i + 1] == '/') {
            out += "<\\/";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string formatNumber(double value) {
    std::ostringstream out;
    out.precision(3);
    out << value;
    return out.str();
}

}  // namespace

std::string base64Encode(const std::uint8_t* bytes, std::size_t size) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < size; i += 3) {
        const std::uint32_t n = (std::uint32_t(bytes[i]) << 16) | (std::uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        for (int shift : {18, 12, 6, 0}) out += alphabet[(n >> shift) & 63];
    }
    if (i < size) {
        std::uint32_t n = std::uint32_t(bytes[i]) << 16;
        if (i + 1 < size) n |= std::uint32_t(bytes[i + 1]) << 8;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < size ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<int> timeOrder(const io::MeshAnimation& samples) {
    // A bind pose rest is no frame of the animation: it is not played.
    const int first = samples.firstFrameIsBindPose ? 1 : 0;
    std::vector<int> order(static_cast<size_t>(std::max(samples.frameCount() - first, 0)));
    for (size_t s = 0; s < order.size(); ++s) order[s] = static_cast<int>(s) + first;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return samples.timeOf(a) < samples.timeOf(b); });
    return order;
}

void setPageFrames(ReportPageData& page, const io::MeshAnimation& samples, const host::PointFrames& frames,
                   const std::vector<int>& selected, const std::vector<std::vector<double>>& distances,
                   const std::vector<std::vector<io::Matrix4>>& jointWorld) {
    page.vertexCount = samples.vertexCount;
    page.triangles = samples.triangles;
    page.frames.clear();
    page.frameLabels.clear();
    page.frameTimes.clear();
    page.distances.clear();
    page.jointMove.clear();
    const std::vector<int> order = timeOrder(samples);
    const double start = samples.timeOf(order.front());
    for (size_t k = 0; k < order.size(); ++k) {
        const int s = order[k];
        page.frames.push_back(frames.frame(static_cast<size_t>(s)));
        page.frameLabels.push_back(selected[s]);
        page.frameTimes.push_back(samples.timeOf(s) - start);
        page.distances.push_back(distances[s]);
        double move = 0.0;
        if (k > 0) {
            const std::vector<io::Matrix4>& now = jointWorld[s];
            const std::vector<io::Matrix4>& before = jointWorld[order[k - 1]];
            for (size_t j = 0; j < now.size() && j < before.size(); ++j)
                move = std::max(move, std::sqrt((now[j][12] - before[j][12]) * (now[j][12] - before[j][12]) +
                                                (now[j][13] - before[j][13]) * (now[j][13] - before[j][13]) +
                                                (now[j][14] - before[j][14]) * (now[j][14] - before[j][14])));
        }
        page.jointMove.push_back(move);
    }
}

PageEncoding choosePageEncoding(const ReportPageData& data) {
    PageEncoding encoding;
    const std::size_t frameCount = data.frames.size();
    const std::size_t V = static_cast<std::size_t>(std::max(data.vertexCount, 0));
    const std::size_t floatFrame = V * (3 * 4 + 2);  // float32 positions, uint16 distances
    const std::size_t quantisedFrame = V * (3 * 2 + 2);
    encoding.quantised = frameCount * floatFrame > data.frameDataBudget;
    std::size_t stride = 1;
    if (encoding.quantised && quantisedFrame > 0 && frameCount * quantisedFrame > data.frameDataBudget) {
        const std::size_t fitting = std::max<std::size_t>(data.frameDataBudget / quantisedFrame, 2);
        stride = (frameCount + fitting - 1) / fitting;
    }
    // The frame with the largest distance stays whatever is left out.
    std::size_t worst = 0;
    double worstDistance = -1.0;
    for (std::size_t f = 0; f < data.distances.size(); ++f)
        for (double d : data.distances[f])
            if (d > worstDistance) {
                worstDistance = d;
                worst = f;
            }
    for (std::size_t f = 0; f < frameCount; ++f)
        if (f % stride == 0 || f == worst) encoding.keptFrames.push_back(static_cast<int>(f));
    if (encoding.quantised) {
        for (int c = 0; c < 3; ++c) {
            double low = std::numeric_limits<double>::infinity(), high = -low;
            for (int f : encoding.keptFrames)
                for (std::size_t v = 0; v < V; ++v) {
                    low = std::min(low, data.frames[f][3 * v + c]);
                    high = std::max(high, data.frames[f][3 * v + c]);
                }
            if (high > low) encoding.quantisationStep = std::max(encoding.quantisationStep, (high - low) / 65535.0);
        }
    }
    return encoding;
}

namespace {

// Throws std::invalid_argument when the per-frame arrays do not match the
// vertex count and each other.
void checkPageData(const ReportPageData& data) {
    const int V = data.vertexCount;
    if (V <= 0 || data.frames.empty()) throw std::invalid_argument("report page: no vertices or no frames");
    if (data.distances.size() != data.frames.size() || data.frameTimes.size() != data.frames.size() ||
        data.frameLabels.size() != data.frames.size() || data.jointMove.size() != data.frames.size())
        throw std::invalid_argument("report page: per-frame arrays differ in length");
    for (size_t f = 0; f < data.frames.size(); ++f)
        if (data.frames[f].size() != 3 * static_cast<size_t>(V) || data.distances[f].size() != static_cast<size_t>(V))
            throw std::invalid_argument("report page: frame " + std::to_string(f) + " has the wrong size");
}

// The input positions of the kept frames, with their labels and times.
nlohmann::json pageFrames(const ReportPageData& data, const PageEncoding& encoding) {
    const int V = data.vertexCount;
    const std::vector<int>& kept = encoding.keptFrames;
    LittleEndian positions;
    nlohmann::json frames;
    frames["count"] = kept.size();
    if (encoding.quantised) {
        std::array<double, 3> origin{}, step{};
        for (int c = 0; c < 3; ++c) {
            double low = std::numeric_limits<double>::infinity(), high = -low;
            for (int f : kept)
                for (int v = 0; v < V; ++v) {
                    low = std::min(low, data.frames[f][3 * v + c]);
                    high = std::max(high, data.frames[f][3 * v + c]);
                }
            origin[c] = low;
            step[c] = (high - low) / 65535.0;
        }
        for (int f : kept)
            for (int v = 0; v < V; ++v)
                for (int c = 0; c < 3; ++c) positions.u16(quantise(data.frames[f][3 * v + c], origin[c], step[c]));
        frames["encoding"] = "uint16";
        frames["origin"] = origin;
        frames["step"] = step;
    } else {
        for (int f : kept)
            for (double x : data.frames[f]) positions.f32(static_cast<float>(x));
        frames["encoding"] = "float32";
    }
    frames["data"] = positions.base64();
    nlohmann::json labels = nlohmann::json::array(), times = nlohmann::json::array();
    for (int f : kept) {
        labels.push_back(data.frameLabels[f]);
        times.push_back(data.frameTimes[f]);
    }
    frames["labels"] = labels;
    frames["times"] = times;
    return frames;
}

// The triangles' vertex indices, 32-bit, in base64.
std::string pageTriangles(const ReportPageData& data) {
    const int V = data.vertexCount;
    LittleEndian indices;
    for (const auto& t : data.triangles)
        for (int i : t) {
            if (i < 0 || i >= V) throw std::invalid_argument("report page: a triangle's vertex is out of range");
            indices.u32(static_cast<std::uint32_t>(i));
        }
    return indices.base64();
}

// Distances as 16-bit fractions of the largest, with each frame's RMS,
// largest distance and joint move computed before rounding.
void addPageDistances(const ReportPageData& data, const std::vector<int>& kept, nlohmann::json& page) {
    const int V = data.vertexCount;
    double largest = 0.0;
    int worstShown = 0;
    for (size_t k = 0; k < kept.size(); ++k)
        for (double d : data.distances[kept[k]])
            if (d > largest) {
                largest = d;
                worstShown = static_cast<int>(k);
            }
    LittleEndian distances;
    nlohmann::json rms = nlohmann::json::array(), maxima = nlohmann::json::array(), moves = nlohmann::json::array();
    for (int f : kept) {
        double sum = 0.0, frameMax = 0.0;
        for (double d : data.distances[f]) {
            distances.u16(quantise(d, 0.0, largest / 65535.0));
            sum += d * d;
            frameMax = std::max(frameMax, d);
        }
        rms.push_back(std::sqrt(sum / V));
        maxima.push_back(frameMax);
        moves.push_back(data.jointMove[f]);
    }
    page["distances"] = {
        {"data", distances.base64()}, {"scale", largest / 65535.0}, {"max", largest}, {"worstFrame", worstShown}};
    page["perFrame"] = {{"rms", rms}, {"max", maxima}, {"jointMove", moves}};
}

// The caller's notes, and what the page leaves out to stay small.
std::vector<std::string> pageNotes(const ReportPageData& data, const PageEncoding& encoding) {
    const std::vector<int>& kept = encoding.keptFrames;
    std::vector<std::string> notes = data.notes;
    if (encoding.quantised)
        notes.push_back(
            "To keep the page small, the input positions are stored as 16-bit integers over the "
            "animation's bounding box (steps of at most " +
            formatNumber(encoding.quantisationStep) + " scene units); distances were measured before rounding.");
    if (kept.size() < data.frames.size())
        notes.push_back("To keep the page small, it shows " + std::to_string(kept.size()) + " of the " +
                        std::to_string(data.frames.size()) + " frames (one in " +
                        std::to_string(kept.size() > 1 ? kept[1] - kept[0] : 1) +
                        ", and the frame with the largest distance); the rig file has them all.");
    return notes;
}

}  // namespace

std::string reportPageHtml(const ReportPageData& data, const std::string& viewerScript, PageEncoding* encodingUsed) {
    checkPageData(data);
    const PageEncoding encoding = choosePageEncoding(data);
    if (encodingUsed) *encodingUsed = encoding;

    nlohmann::json page;
    page["title"] = data.title;
    page["vertexCount"] = data.vertexCount;
    page["frames"] = pageFrames(data, encoding);
    page["triangles"] = pageTriangles(data);
    addPageDistances(data, encoding.keptFrames, page);
    page["rig"] = {
        {"file", base64Encode(reinterpret_cast<const std::uint8_t*>(data.rigFile.data()), data.rigFile.size())}};
    page["report"] = data.reportJson.empty() ? nlohmann::json::object() : nlohmann::json::parse(data.reportJson);
    page["notes"] = pageNotes(data, encoding);

    std::string html;
    html +=
        "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>vantrel report: " +
        htmlEscape(data.title) + "</title>\n<style>" + kReportPageStyle +
        "</style>\n"
        "</head>\n<body>" +
        kReportPageBody;
    html += "<script type=\"application/json\" id=\"vantrel-data\">" + scriptSafe(page.dump()) + "</script>\n";
    html += "<script>\n" + scriptSafe(viewerScript) + "\n</script>\n</body>\n</html>\n";
    return html;
}

PageSummary writeReportPage(const std::string& path, const ReportPageData& data, const std::string& viewerScript) {
    PageSummary summary;
    const std::string html = reportPageHtml(data, viewerScript, &summary.encoding);
    io::writeFileAtomically(path, html);
    summary.path = path;
    summary.bytes = html.size();
    return summary;
}

std::string locateViewerScript(const std::string& given) {
    if (!given.empty()) return given;
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const std::filesystem::path& candidate :
             {self.parent_path() / "report-viewer.js", self.parent_path() / "../share/vantrel/report-viewer.js"}) {
            if (std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
        }
    }
#ifdef VANTREL_VIEWER_SCRIPT
    if (std::filesystem::exists(VANTREL_VIEWER_SCRIPT, ec)) return VANTREL_VIEWER_SCRIPT;
#endif
    throw std::runtime_error(
        "cannot find the report page's viewer script (report-viewer.js beside the program, or "
        "tools/report-page/dist/viewer.js, which scripts/setup builds); give it with --viewer-script");
}

std::string readViewerScript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the report page's viewer script " + path);
    std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (script.empty()) throw std::runtime_error("the report page's viewer script " + path + " is empty");
    return script;
}

}  // namespace vantrel::cli
