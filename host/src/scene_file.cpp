// Scene files: the whole scene as JSON. Loading builds a new scene through
// the same checks as the builder API and only then replaces the current one.
#include <host/scene.h>
#include <host/scene_file.h>
#include <host/session.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "object_access.h"
#include "session_state.h"

using Json = nlohmann::ordered_json;
using namespace host::detail;

namespace host {

namespace {

const char* const kFormat = "vantrel-scene";
const int kVersion = 1;

const std::pair<MTime::Unit, const char*> kUnitNames[] = {
    {MTime::kHours, "hours"},     {MTime::kMinutes, "minutes"},
    {MTime::kSeconds, "seconds"}, {MTime::kMilliseconds, "milliseconds"},
    {MTime::kGames, "game"},      {MTime::kFilm, "film"},
    {MTime::kPALFrame, "pal"},    {MTime::kNTSCFrame, "ntsc"},
    {MTime::kShowScan, "show"},   {MTime::kPALField, "palf"},
    {MTime::kNTSCField, "ntscf"},
};

const char* unitName(MTime::Unit unit) {
    for (const auto& [value, name] : kUnitNames)
        if (value == unit) return name;
    return "film";
}

// --- Writing ---------------------------------------------------------------------

// JSON has no NaN or infinity; they are written as strings.
Json number(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return value;
}

Json point(const MPoint& p) { return Json::array({number(p.x), number(p.y), number(p.z)}); }

Json points(const std::vector<MPoint>& list) {
    Json out = Json::array();
    for (const MPoint& p : list) out.push_back(point(p));
    return out;
}

Json matrix(const MMatrix& m) {
    Json out = Json::array();
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.push_back(number(m[r][c]));
    return out;
}

Json value(const Value& v) {
    switch (valueTypeOf(v)) {
        case ValueType::Int: return std::get<int>(v);
        case ValueType::Bool: return std::get<bool>(v);
        case ValueType::Double: return number(std::get<double>(v));
        case ValueType::String: return std::get<std::string>(v);
        case ValueType::DoubleArray: {
            Json out = Json::array();
            for (double d : std::get<std::vector<double>>(v)) out.push_back(number(d));
            return out;
        }
        case ValueType::IntArray: return std::get<std::vector<int>>(v);
        case ValueType::StringArray: return std::get<std::vector<std::string>>(v);
        case ValueType::Compound: break;
    }
    return nullptr;
}

Json attributeEntry(const Attribute& attribute) {
    Json entry;
    entry["name"] = attribute.name;
    if (attribute.dynamic) {
        entry["type"] = valueTypeName(attribute.type);
        entry["array"] = attribute.isArray;
    }
    entry["keyable"] = attribute.keyable;
    if (attribute.isArray) {
        Json elements = Json::array();
        for (const auto& [index, element] : attribute.elements)
            elements.push_back(Json::array({index, value(element)}));
        entry["elements"] = elements;
    } else {
        entry["value"] = value(attribute.value);
    }
    return entry;
}

Json nodeEntry(const Scene& scene, const Node& node) {
    Json entry;
    entry["name"] = node.name;
    entry["type"] = kindName(node.kind);
    if (node.isDag()) {
        const Node* parent = scene.node(node.parent);
        entry["parent"] = parent && parent->kind != NodeKind::World ? parent->name : std::string();
    }
    Json attributes = Json::array();
    for (const Attribute& attribute : node.attributes)
        if (attribute.type != ValueType::Compound) attributes.push_back(attributeEntry(attribute));
    entry["attributes"] = attributes;
    if (node.kind == NodeKind::Mesh) {
        // The file keeps one parent per DAG node.
        if (!node.mesh.instanceParents.empty()) throw Error("mesh '" + node.name + "' is instanced: not saved");
        entry["points"] = points(node.mesh.points);
        entry["polygons"] = node.mesh.polygons;
        if (node.mesh.cache.hasFrames()) {
            Json frames = Json::array();
            for (size_t f = 0; f < node.mesh.cache.frames->frameCount(); ++f)
                frames.push_back(points(node.mesh.cache.frames->framePoints(f)));
            entry["pointCache"] = {{"firstFrame", number(node.mesh.cache.firstFrame)},
                                   {"unit", unitName(node.mesh.cache.unit)},
                                   {"frames", frames}};
        }
    }
    if (node.kind == NodeKind::SkinCluster) {
        const SkinData& skin = node.skin;
        entry["mesh"] = scene.node(skin.mesh)->name;
        Json influences = Json::array(), bindPre = Json::array(), weights = Json::array();
        for (NodeId id : skin.influences) influences.push_back(scene.node(id)->name);
        for (const MMatrix& m : skin.bindPreMatrices) bindPre.push_back(matrix(m));
        for (const auto& row : skin.weights) {
            Json out = Json::array();
            for (double w : row) out.push_back(number(w));
            weights.push_back(out);
        }
        entry["influences"] = influences;
        entry["bindPreMatrices"] = bindPre;
        entry["bindGeometryMatrix"] = matrix(skin.bindGeometryMatrix);
        entry["weights"] = weights;
    }
    if (node.kind == NodeKind::AnimCurve) {
        entry["unit"] = unitName(node.curve.unit);
        Json keys = Json::array();
        for (const Key& key : node.curve.keys)
            keys.push_back(Json::array({number(key.time), number(key.value), key.inTangent, key.outTangent}));
        entry["keys"] = keys;
    }
    return entry;
}

// --- Reading -----------------------------------------------------------------------

// Reads checked values out of the parsed document; every failure names the
// place ("nodes[2].keys[0][1]") and what was expected there.
class Reader {
public:
    [[noreturn]] static void fail(const std::string& where, const std::string& what) {
        throw Error(where + ": " + what);
    }
    // The place of item i inside `where`: "where[i]".
    static std::string item(const std::string& where, size_t i) { return where + "[" + std::to_string(i) + "]"; }

    static const Json& member(const Json& object, const char* key, const std::string& where) {
        if (!object.is_object()) fail(where, "expected an object");
        auto it = object.find(key);
        if (it == object.end()) fail(where, std::string("missing \"") + key + "\"");
        return *it;
    }
    static bool has(const Json& object, const char* key) { return object.is_object() && object.contains(key); }

    static const Json& array(const Json& j, const std::string& where) {
        if (!j.is_array()) fail(where, "expected an array");
        return j;
    }
    static double number(const Json& j, const std::string& where) {
        if (j.is_number()) return j.get<double>();
        if (j.is_string()) {
            const std::string text = j.get<std::string>();
            if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
            if (text == "inf") return std::numeric_limits<double>::infinity();
            if (text == "-inf") return -std::numeric_limits<double>::infinity();
        }
        fail(where, "expected a number");
    }
    static double finite(const Json& j, const std::string& where) {
        const double value = number(j, where);
        if (!std::isfinite(value)) fail(where, "expected a finite number");
        return value;
    }
    static int integer(const Json& j, const std::string& where) {
        if (j.is_number_integer()) {
            const auto wide = j.get<long long>();
            if (wide >= std::numeric_limits<int>::min() && wide <= std::numeric_limits<int>::max())
                return static_cast<int>(wide);
        }
        fail(where, "expected a 32-bit integer");
    }
    static bool boolean(const Json& j, const std::string& where) {
        if (!j.is_boolean()) fail(where, "expected true or false");
        return j.get<bool>();
    }
    static std::string text(const Json& j, const std::string& where) {
        if (!j.is_string()) fail(where, "expected a string");
        return j.get<std::string>();
    }
    static MTime::Unit unit(const Json& j, const std::string& where) {
        const std::string name = text(j, where);
        for (const auto& [value, unitText] : kUnitNames)
            if (name == unitText) return value;
        fail(where, "unknown time unit \"" + name + "\"");
    }
    static MPoint point(const Json& j, const std::string& where) {
        if (!j.is_array() || j.size() != 3) fail(where, "expected a point [x, y, z]");
        return MPoint(finite(j[0], where + "[0]"), finite(j[1], where + "[1]"), finite(j[2], where + "[2]"));
    }
    static MPointArray points(const Json& j, const std::string& where) {
        MPointArray out;
        array(j, where);
        for (size_t i = 0; i < j.size(); ++i) out.append(point(j[i], item(where, i)));
        return out;
    }
    static MMatrix matrix(const Json& j, const std::string& where) {
        if (!j.is_array() || j.size() != 16) fail(where, "expected a matrix of 16 numbers, row by row");
        MMatrix m;
        for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = number(j[i], item(where, i));
        return m;
    }
    static Value value(const Json& j, ValueType type, const std::string& where) {
        switch (type) {
            case ValueType::Int: return integer(j, where);
            case ValueType::Bool: return boolean(j, where);
            case ValueType::Double: return number(j, where);
            case ValueType::String: return text(j, where);
            case ValueType::DoubleArray: {
                std::vector<double> out;
                array(j, where);
                for (size_t i = 0; i < j.size(); ++i) out.push_back(number(j[i], item(where, i)));
                return out;
            }
            case ValueType::IntArray: {
                std::vector<int> out;
                array(j, where);
                for (size_t i = 0; i < j.size(); ++i) out.push_back(integer(j[i], item(where, i)));
                return out;
            }
            case ValueType::StringArray: {
                std::vector<std::string> out;
                array(j, where);
                for (size_t i = 0; i < j.size(); ++i) out.push_back(text(j[i], item(where, i)));
                return out;
            }
            case ValueType::Compound: break;
        }
        fail(where, "compound attributes hold no value");
    }
};

// Runs a builder step, naming the place in the file when it refuses.
template <class Step>
void at(const std::string& where, Step&& step) {
    try {
        step();
    } catch (const Error& error) {
        throw Error(where + ": " + error.what());
    }
}

void readAttributes(Node& node, const Json& entry, const std::string& where) {
    const Json& attributes = Reader::array(Reader::member(entry, "attributes", where), where + ".attributes");
    for (size_t a = 0; a < attributes.size(); ++a) {
        const std::string place = where + ".attributes[" + std::to_string(a) + "]";
        const Json& item = attributes[a];
        const std::string name = Reader::text(Reader::member(item, "name", place), place + ".name");
        Attribute* attribute = nullptr;
        if (Reader::has(item, "type")) {
            ValueType type;
            const std::string typeName = Reader::text(item["type"], place + ".type");
            if (!valueTypeFromName(typeName, type) || type == ValueType::Compound)
                Reader::fail(place + ".type", "unknown attribute type \"" + typeName + "\"");
            const bool isArray = Reader::boolean(Reader::member(item, "array", place), place + ".array");
            at(place, [&] { scene().addAttribute(node, name, type, isArray); });
            attribute = &node.attributes.back();
        } else {
            attribute = node.findAttribute(name);
            if (!attribute || attribute->dynamic || attribute->type == ValueType::Compound)
                Reader::fail(place + ".name",
                             "a " + std::string(kindName(node.kind)) + " has no attribute \"" + name + "\"");
        }
        attribute->keyable = Reader::boolean(Reader::member(item, "keyable", place), place + ".keyable");
        if (attribute->isArray) {
            const Json& elements = Reader::array(Reader::member(item, "elements", place), place + ".elements");
            for (size_t e = 0; e < elements.size(); ++e) {
                const std::string elementPlace = place + ".elements[" + std::to_string(e) + "]";
                const Json& pair = elements[e];
                if (!pair.is_array() || pair.size() != 2) Reader::fail(elementPlace, "expected [logical index, value]");
                if (!pair[0].is_number_unsigned() || pair[0].get<unsigned long long>() > 0xffffffffull)
                    Reader::fail(elementPlace + "[0]", "expected a logical index");
                const auto index = static_cast<unsigned>(pair[0].get<unsigned long long>());
                if (attribute->elements.count(index)) Reader::fail(elementPlace + "[0]", "element given twice");
                attribute->elements[index] = Reader::value(pair[1], attribute->type, elementPlace + "[1]");
            }
        } else {
            attribute->value = Reader::value(Reader::member(item, "value", place), attribute->type, place + ".value");
        }
    }
}

void readNode(const Json& entry, const std::string& where) {
    const std::string name = Reader::text(Reader::member(entry, "name", where), where + ".name");
    const std::string typeName = Reader::text(Reader::member(entry, "type", where), where + ".type");
    NodeKind kind;
    if (!kindFromName(typeName, kind)) Reader::fail(where + ".type", "unknown node type \"" + typeName + "\"");
    const bool dag = kind == NodeKind::Transform || kind == NodeKind::Joint || kind == NodeKind::Mesh;
    const std::string parentName =
        dag ? Reader::text(Reader::member(entry, "parent", where), where + ".parent") : std::string();
    switch (kind) {
        case NodeKind::Generic: at(where, [&] { createNode(name); }); break;
        case NodeKind::Transform: at(where, [&] { createTransform(name, parentName); }); break;
        case NodeKind::Joint: at(where, [&] { createJoint(name, parentName); }); break;
        case NodeKind::Mesh: {
            const MPointArray points = Reader::points(Reader::member(entry, "points", where), where + ".points");
            const Json& polygonsJson = Reader::array(Reader::member(entry, "polygons", where), where + ".polygons");
            std::vector<std::vector<int>> polygons;
            for (size_t f = 0; f < polygonsJson.size(); ++f) {
                const std::string place = where + ".polygons[" + std::to_string(f) + "]";
                const Value ids = Reader::value(polygonsJson[f], ValueType::IntArray, place);
                polygons.push_back(std::get<std::vector<int>>(ids));
            }
            at(where, [&] { createMesh(name, parentName, points, polygons); });
            if (Reader::has(entry, "pointCache")) {
                const std::string place = where + ".pointCache";
                const Json& cache = entry["pointCache"];
                const double first = Reader::finite(Reader::member(cache, "firstFrame", place), place + ".firstFrame");
                const MTime::Unit unit = Reader::unit(Reader::member(cache, "unit", place), place + ".unit");
                const Json& framesJson = Reader::array(Reader::member(cache, "frames", place), place + ".frames");
                std::vector<MPointArray> frames;
                for (size_t f = 0; f < framesJson.size(); ++f)
                    frames.push_back(Reader::points(framesJson[f], place + ".frames[" + std::to_string(f) + "]"));
                at(place, [&] { setPointCache(name, frames, first, unit); });
            }
            break;
        }
        case NodeKind::SkinCluster: {
            const std::string mesh = Reader::text(Reader::member(entry, "mesh", where), where + ".mesh");
            const Json& influencesJson =
                Reader::array(Reader::member(entry, "influences", where), where + ".influences");
            std::vector<std::string> influences;
            for (size_t k = 0; k < influencesJson.size(); ++k)
                influences.push_back(Reader::text(influencesJson[k], where + ".influences[" + std::to_string(k) + "]"));
            at(where, [&] { createSkinCluster(name, mesh, influences); });
            SkinData& skin = scene().nodeByName(name)->skin;
            const Json& bindPre =
                Reader::array(Reader::member(entry, "bindPreMatrices", where), where + ".bindPreMatrices");
            if (bindPre.size() != influences.size())
                Reader::fail(where + ".bindPreMatrices", "expected one matrix per influence");
            for (size_t k = 0; k < bindPre.size(); ++k)
                skin.bindPreMatrices[k] = Reader::matrix(bindPre[k], Reader::item(where + ".bindPreMatrices", k));
            skin.bindGeometryMatrix =
                Reader::matrix(Reader::member(entry, "bindGeometryMatrix", where), where + ".bindGeometryMatrix");
            const Json& weights = Reader::array(Reader::member(entry, "weights", where), where + ".weights");
            if (weights.size() != skin.weights.size()) Reader::fail(where + ".weights", "expected one row per vertex");
            for (size_t v = 0; v < weights.size(); ++v) {
                const std::string place = where + ".weights[" + std::to_string(v) + "]";
                auto row = std::get<std::vector<double>>(Reader::value(weights[v], ValueType::DoubleArray, place));
                if (row.size() != influences.size()) Reader::fail(place, "expected one weight per influence");
                skin.weights[v] = std::move(row);
            }
            break;
        }
        case NodeKind::AnimCurve: {
            Node* curve = nullptr;
            at(where, [&] { curve = &scene().createNode(name, NodeKind::AnimCurve); });
            curve->curve.unit = Reader::unit(Reader::member(entry, "unit", where), where + ".unit");
            const Json& keys = Reader::array(Reader::member(entry, "keys", where), where + ".keys");
            for (size_t k = 0; k < keys.size(); ++k) {
                const std::string place = where + ".keys[" + std::to_string(k) + "]";
                if (!keys[k].is_array() || keys[k].size() != 4)
                    Reader::fail(place, "expected [time, value, in tangent, out tangent]");
                const Key key{Reader::finite(keys[k][0], place + "[0]"), Reader::number(keys[k][1], place + "[1]"),
                              Reader::integer(keys[k][2], place + "[2]"), Reader::integer(keys[k][3], place + "[3]")};
                if (!curve->curve.keys.empty() && !(curve->curve.keys.back().time < key.time))
                    Reader::fail(place + "[0]", "key times must increase");
                curve->curve.keys.push_back(key);
            }
            break;
        }
        case NodeKind::World: break;
    }
    readAttributes(*scene().nodeByName(name), entry, where);
}

void readScene(const Json& document) {
    if (!document.is_object()) Reader::fail("document", "expected an object");
    if (Reader::text(Reader::member(document, "format", "document"), "format") != kFormat)
        Reader::fail("format", std::string("expected \"") + kFormat + "\"");
    if (Reader::integer(Reader::member(document, "version", "document"), "version") != kVersion)
        Reader::fail("version", "unsupported version (this host reads version " + std::to_string(kVersion) + ")");
    const MTime::Unit uiUnit = Reader::unit(Reader::member(document, "timeUnit", "document"), "timeUnit");
    const Json& time = Reader::member(document, "currentTime", "document");
    const MTime current(Reader::finite(Reader::member(time, "value", "currentTime"), "currentTime.value"),
                        Reader::unit(Reader::member(time, "unit", "currentTime"), "currentTime.unit"));
    MTime::setUIUnit(uiUnit);
    scene().currentTime = current;

    const Json& nodes = Reader::array(Reader::member(document, "nodes", "document"), "nodes");
    for (size_t n = 0; n < nodes.size(); ++n) readNode(nodes[n], "nodes[" + std::to_string(n) + "]");

    const Json& connections = Reader::array(Reader::member(document, "connections", "document"), "connections");
    for (size_t c = 0; c < connections.size(); ++c) {
        const std::string place = "connections[" + std::to_string(c) + "]";
        const Json& pair = connections[c];
        if (!pair.is_array() || pair.size() != 2) Reader::fail(place, "expected [source plug, destination plug]");
        const std::string source = Reader::text(pair[0], place + "[0]");
        const std::string destination = Reader::text(pair[1], place + "[1]");
        at(place, [&] { connect(source, destination); });
    }
}

}  // namespace

void saveScene(const std::string& path) {
    const Scene& current = scene();
    Json document;
    document["format"] = kFormat;
    document["version"] = kVersion;
    document["timeUnit"] = unitName(MTime::uiUnit());
    document["currentTime"] = {{"value", number(current.currentTime.value())},
                               {"unit", unitName(current.currentTime.unit())}};
    Json nodes = Json::array();
    for (const auto& [id, node] : current.nodes())
        if (node->kind != NodeKind::World) nodes.push_back(nodeEntry(current, *node));
    document["nodes"] = nodes;
    Json connections = Json::array();
    for (const auto& [destination, source] : current.connections())
        connections.push_back(Json::array({current.plugName(source), current.plugName(destination)}));
    document["connections"] = connections;

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw Error(path + ": cannot be written");
    out << document.dump() << '\n';
    out.close();
    if (!out) throw Error(path + ": cannot be written");
}

void loadScene(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot be opened");
    std::stringstream text;
    text << in.rdbuf();
    Json document;
    try {
        document = Json::parse(text.str());
    } catch (const Json::parse_error& error) {
        throw Error(path + ": byte " + std::to_string(error.byte) + ": not valid JSON (" + error.what() + ")");
    }

    // Build the new scene in place of the current one; put the current one
    // back if the file turns out to be inconsistent.
    std::unique_ptr<Scene> previous = replaceScene(std::make_unique<Scene>());
    const MTime::Unit previousUnit = MTime::uiUnit();
    try {
        readScene(document);
    } catch (const Error& error) {
        replaceScene(std::move(previous));
        MTime::setUIUnit(previousUnit);
        throw Error(path + ": " + error.what());
    }
    flushUndoQueues();
}

}  // namespace host
