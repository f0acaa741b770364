// A fresh temporary directory per test, removed afterwards, and helpers to
// run the peer cpio tools inside it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

class Sandbox {
   public:
    Sandbox() {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/viredovozu-test-XXXXXX";
        char *made = mkdtemp(tmpl.data());
        if (made) dir_ = made;
    }
    ~Sandbox() {
        if (!dir_.empty()) run("rm -rf '" + dir_ + "'");
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &rel) const { return dir_ + "/" + rel; }

    static int run(const std::string &cmd) {
        const int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    // Runs cmd with the sandbox as working directory.
    int run_here(const std::string &cmd) const { return run("cd '" + dir_ + "' && " + cmd); }

    static bool have(const char *tool) { return run(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0; }

    void write(const std::string &rel, const std::string &bytes) const {
        std::ofstream(path(rel), std::ios::binary) << bytes;
    }
    std::string read(const std::string &rel) const { return slurp(path(rel)); }

    static std::string slurp(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

   private:
    std::string dir_;
};
