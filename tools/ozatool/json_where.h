// Where the values of a JSON text stand: the line and column of every value
// by its path ("chunks[3].index"), and the keys an object gives twice. The
// manifest reader parses the values with nlohmann-json and asks this scan
// for the places, so that a message names the line as well as the field.
#pragma once

#include <map>
#include <string>
#include <vector>

struct json_place {
    unsigned line = 0, column = 0; // 1-based; 0: unknown
};

struct json_duplicate {
    std::string path; // the key's path
    json_place first; // where the key was given first
    json_place again; // and where again
};

struct json_places {
    std::map<std::string, json_place> values; // path -> start of its value ("" is the top)
    std::vector<json_duplicate> duplicates;

    // The place of path, or of its nearest ancestor that has one (a missing
    // field is reported at its object).
    json_place find(const std::string &path) const;
};

// Scans text (JSON with // and /* */ comments, as the manifest allows). A
// text that does not parse gives what was found up to the fault.
json_places json_scan(const std::string &text);

// "line L, column C" (or "" when the place is unknown).
std::string json_place_text(const json_place &p);
