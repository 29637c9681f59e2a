// A folder of its own for each test that writes files, removed with it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class Folder {
public:
    Folder() {
        char name[] = "/tmp/stbload-unit-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~Folder() { std::system(("rm -rf " + path_).c_str()); }  // NOLINT(cert-env33-c): a test's own folder
    std::string file(const std::string& name, const std::string& text) const {
        const std::string path = path_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path_ + "/" + name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

