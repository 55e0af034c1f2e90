#pragma once
// The report page: one HTML file that opens from disk with no network and
// shows the input animation beside the exported rig, in lock-step, the rig
// coloured by each vertex's distance to the input, plots of the error per
// frame and per iteration, and the report's settings, sizes, errors and times.
// The viewer (tools/report-page, three.js bundled by scripts/setup) is
// inlined into the page, and so is the data.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <host/point_frames.h>

#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"

namespace vantrel::cli {

struct ReportPageData {
    std::string title;  // shown in the heading, e.g. the input's file name
    int vertexCount = 0;
    // Input positions, 3 per vertex, frame by frame in time order.
    std::vector<std::vector<double>> frames;
    std::vector<int> frameLabels;    // each frame's number in the input file
    std::vector<double> frameTimes;  // seconds from the first frame; the rig file's key times
    std::vector<std::array<int, 3>> triangles;
    // distances[f][v]: how far the solved rig puts vertex v from the input at frame f.
    std::vector<std::vector<double>> distances;
    // Per frame, the largest distance any joint moved since the frame before
    // (0 for the first): pops show as spikes.
    std::vector<double> jointMove;
    std::string rigFile;     // bytes of the exported .glb or .gltf
    std::string reportJson;  // the JSON report (settings, sizes, errors, times)
    std::vector<std::string> notes;
    // Raw bytes the per-frame data (positions and distances) may take; past
    // it positions become 16-bit integers, then frames are left out.
    std::size_t frameDataBudget = 10u << 20;
};

// The per-frame part of the page's data from decompose's samples (the rest
// frame first; their positions in `frames`), put in time order: `selected`
// gives each sample's frame number in the file, distances[s][v] the rig's
// distance from sample s at vertex v, jointWorld[s][j] joint j's world matrix
// there (for the joint moves).
void setPageFrames(ReportPageData& page, const io::MeshAnimation& samples, const host::PointFrames& frames,
                   const std::vector<int>& selected, const std::vector<std::vector<double>>& distances,
                   const std::vector<std::vector<io::Matrix4>>& jointWorld);

// The samples' indices in time order: the frames the animation plays (a
// bind pose rest is left out).
std::vector<int> timeOrder(const io::MeshAnimation& samples);

// How the input animation was stored in the page.
struct PageEncoding {
    bool quantised = false;         // positions as uint16 against the bounding box
    std::vector<int> keptFrames;    // indices into ReportPageData::frames
    double quantisationStep = 0.0;  // largest step of the 16-bit grid, scene units
};

// Chooses the encoding for the data's size and budget: float32 positions when
// every frame fits, else 16-bit positions, else 16-bit positions of every
// k-th frame plus the frame with the largest distance.
PageEncoding choosePageEncoding(const ReportPageData& data);

struct PageSummary {
    std::string path;
    std::size_t bytes = 0;
    PageEncoding encoding;
};

// The whole page. `viewerScript` is the bundled viewer (JavaScript).
std::string reportPageHtml(const ReportPageData& data, const std::string& viewerScript,
                           PageEncoding* encodingUsed = nullptr);

// Writes the page atomically; throws io::WriteError on failure.
PageSummary writeReportPage(const std::string& path, const ReportPageData& data, const std::string& viewerScript);

// The bundled viewer: `given`, or report-viewer.js beside the program, or the
// build output in the source tree. Throws std::runtime_error saying how to
// build it when there is none.
std::string locateViewerScript(const std::string& given);
// Its contents; throws std::runtime_error naming the file.
std::string readViewerScript(const std::string& path);

std::string base64Encode(const std::uint8_t* bytes, std::size_t size);

}  // namespace vantrel::cli
