// The configuration's JSON Schema, the loader and the example agree: every
// key the loader reads is in the schema with its type, and nothing else is;
// the example validates against it with a validator from the system.
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/config_loader.h"
#include "test_support.h"

namespace {

const std::string schema_path = std::string(VX_SOURCE_DIR) + "/examples/sink-http.schema.json";
const std::string example_path = std::string(VX_SOURCE_DIR) + "/examples/sink-http.json";

nlohmann::json ReadJson(const std::string &path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, true, true);
}

// The schema's keys with where they stand.
std::map<std::string, std::pair<htsKeyScope, nlohmann::json>> SchemaKeys(const nlohmann::json &schema)
{
    std::map<std::string, std::pair<htsKeyScope, nlohmann::json>> keys;
    const std::pair<const nlohmann::json *, htsKeyScope> places[] = {
        { &schema["$defs"]["settings"]["properties"], htsKeyScope::Both },
        { &schema["properties"], htsKeyScope::TopLevel },
        { &schema["$defs"]["channel"]["properties"], htsKeyScope::Channel },
    };
    for (const auto &[properties, scope] : places) {
        for (const auto &[name, definition] : properties->items()) {
            EXPECT_EQ(keys.count(name), 0u) << name << " is in the schema twice";
            keys[name] = { scope, definition };
        }
    }
    return keys;
}

TEST(ConfigSchema, HoldsEveryKeyTheLoaderReadsAndNoOther)
{
    const nlohmann::json schema = ReadJson(schema_path);
    auto keys = SchemaKeys(schema);
    for (const htsConfigKey &key : htsConfigurationKeys()) {
        SCOPED_TRACE(key.name);
        auto it = keys.find(key.name);
        if (it == keys.end()) {
            ADD_FAILURE() << "missing from the schema";
            continue;
        }
        const auto &[scope, definition] = it->second;
        EXPECT_EQ(scope, key.scope);
        EXPECT_TRUE(definition.contains("description"));
        if (definition["type"].is_array()) {
            // A number that also takes a text: its one text, as the loader's
            // choices say.
            EXPECT_EQ(definition["type"], nlohmann::json({ key.type, "string" }));
            nlohmann::json texts = nlohmann::json::array();
            for (const auto &option : definition["oneOf"])
                if (option.contains("const")) texts.push_back(option["const"]);
            EXPECT_EQ(texts, key.choices);
            keys.erase(it);
            continue;
        }
        EXPECT_EQ(definition.value("type", ""), key.type);
        if (!key.choices.empty()) {
            EXPECT_EQ(definition.value("enum", nlohmann::json()), key.choices);
        }
        keys.erase(it);
    }
    for (const auto &[name, unused] : keys) ADD_FAILURE() << name << " is in the schema, but the loader reads no such key";
}

// Runs Debian's python3-jsonschema over `documents` (comments removed) and
// returns one word per document: "valid" or "invalid".
std::string Validate(const std::vector<nlohmann::json> &documents)
{
    vxtest::TempDir dir;
    std::string args;
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict, wrongly) about
    // a literal prefixed to a temporary string.
    for (size_t i = 0; i < documents.size(); i++) {
        std::string name = "doc";
        name.append(std::to_string(i)).append(".json");
        args.append(" ").append(dir.Write(name, documents[i].dump()));
    }
    const std::string script = dir.Write("validate.py",
        "import json, sys\n"
        "import jsonschema\n"
        "schema = json.load(open(sys.argv[1]))\n"
        "jsonschema.Draft202012Validator.check_schema(schema)\n"
        "validator = jsonschema.Draft202012Validator(schema)\n"
        "for path in sys.argv[2:]:\n"
        "    print('valid' if validator.is_valid(json.load(open(path))) else 'invalid', end=' ')\n");
    const std::string out = (dir.Path() / "out.txt").string();
    std::string command = "/usr/bin/python3 ";
    command.append(script).append(" ").append(schema_path).append(args).append(" >").append(out).append(" 2>&1");
    const int status = std::system(command.c_str());
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << "python3-jsonschema (scripts/setup installs it): " << text;
    return text;
}

TEST(ConfigSchema, TheExampleValidatesAndMistakesDoNot)
{
    const nlohmann::json example = ReadJson(example_path);
    auto with = [&](const std::string &pointer, const nlohmann::json &value) {
        nlohmann::json changed = example;
        changed[nlohmann::json::json_pointer(pointer)] = value;
        return changed;
    };
    nlohmann::json no_url = example;
    no_url["channels"]["flows"].erase("url");
    nlohmann::json disabled_without_url = example;
    disabled_without_url["channels"]["flows"].erase("url");
    disabled_without_url["channels"]["flows"]["enable"] = false;

    EXPECT_EQ(Validate({
                  example,
                  disabled_without_url,
                  with("/timout_connect", 5),
                  with("/channels/flows/colour", "red"),
                  with("/timeout_connect", "30"),
                  with("/channels/flows/tls_min_version", "1.1"),
                  with("/channels/flows/enable", "no"),
                  no_url,
                  with("/channels/flows/success_codes", nlohmann::json::array()),
                  with("/channels/flows/max_in_flight", "auto"),
                  with("/channels/flows/max_in_flight", "fast"),
                  with("/channels/flows/fallback_urls", nlohmann::json::array({ "http://b/", "" })),
              }),
        "valid valid invalid invalid invalid invalid invalid invalid invalid valid invalid invalid ");
}

} // namespace
