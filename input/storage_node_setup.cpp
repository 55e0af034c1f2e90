#include "input/storage_node_setup.h"

#include <host/scene.h>

const std::vector<std::string> kStorageAttributes = {
    "frames",        "sourceJoints",      "maxIteration", "iterationFullSolver", "updateRestMatrices",
    "rigidMatrices", "errorPercentBreak", "setMatrices",  "targetJoints",        "vertexIds",
    "maxInfluence",  "lagragian",         "shape",        "existingSkinCluster", "maxCPU",
    "weightIds",     "weights",           "error",        "iterationDone"};

void createStorageNode(const std::string& name, const StorageNodeSettings& s, const std::set<std::string>& omit,
                       bool plainOutputs) {
    using host::AttributeType;
    host::createNode(name);
    // The attribute's plug when it is wanted, after adding it; empty otherwise.
    auto add = [&](const char* attribute, AttributeType type, bool isArray = false) -> std::string {
        if (omit.count(attribute) != 0) return {};
        host::addAttribute(name, attribute, type, isArray);
        return name + "." + attribute;
    };
    if (const std::string plug = add("frames", AttributeType::DoubleArray); !plug.empty())
        host::setDoubleArray(plug, s.frames);
    if (const std::string plug = add("sourceJoints", AttributeType::StringArray); !plug.empty())
        host::setStringArray(plug, s.sourceJoints);
    if (const std::string plug = add("maxIteration", AttributeType::Int); !plug.empty())
        host::setInt(plug, s.maxIteration);
    if (const std::string plug = add("iterationFullSolver", AttributeType::Int); !plug.empty())
        host::setInt(plug, s.iterationFullSolver);
    if (const std::string plug = add("updateRestMatrices", AttributeType::Bool); !plug.empty())
        host::setBool(plug, s.updateRestMatrices);
    if (const std::string plug = add("rigidMatrices", AttributeType::Bool); !plug.empty())
        host::setBool(plug, s.rigidMatrices);
    if (const std::string plug = add("errorPercentBreak", AttributeType::Double); !plug.empty())
        host::setDouble(plug, s.errorPercentBreak);
    if (const std::string plug = add("setMatrices", AttributeType::Bool); !plug.empty())
        host::setBool(plug, s.setMatrices);
    if (const std::string plug = add("targetJoints", AttributeType::StringArray); !plug.empty())
        host::setStringArray(plug, s.targetJoints);
    if (const std::string plug = add("vertexIds", AttributeType::IntArray); !plug.empty())
        host::setIntArray(plug, s.vertexIds);
    if (const std::string plug = add("maxInfluence", AttributeType::Int); !plug.empty())
        host::setInt(plug, s.maxInfluence);
    if (const std::string plug = add("lagragian", AttributeType::Double); !plug.empty())
        host::setDouble(plug, s.constraintWeight);
    if (const std::string plug = add("shape", AttributeType::String); !plug.empty()) host::setString(plug, s.shape);
    if (const std::string plug = add("existingSkinCluster", AttributeType::String); !plug.empty())
        host::setString(plug, s.existingSkinCluster);
    if (const std::string plug = add("maxCPU", AttributeType::Int); !plug.empty()) host::setInt(plug, s.maxCPU);
    add("weightIds", AttributeType::IntArray, !plainOutputs);
    add("weights", AttributeType::DoubleArray, !plainOutputs);
    add("error", AttributeType::Double);
    add("iterationDone", AttributeType::Int);
}
