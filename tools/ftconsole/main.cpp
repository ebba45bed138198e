// ftconsole: a command-line file transfer console for Linux.
//
//   ftconsole [--ipx] [--port N] [--timeout MS] [-c "cmd; cmd"] HOST
//
// Connects to the file transfer slave on HOST (TCP port 1764, or with --ipx
// the IPX endpoint carried over UDP), checks that it is a slave (the
// existence request, which also keeps it from closing after 20 seconds), then
// runs commands from -c or, line by line, from standard input:
//
//   drives                     the slave's drives
//   ls [DIR|PATTERN]           directories, then files (default: current dir)
//   get REMOTE [LOCAL]         download, keeping the file's time stamp
//   put LOCAL [REMOTE]         upload, keeping the file's time stamp
//   putnew LOCAL [REMOTE]      upload only when REMOTE does not exist yet
//   mkdir DIR | rm FILE | pwd | size FILE | verify DIR | drive X:
//   quit                       ends the slave (FT_TERMINATE) and the console
//   exit                       leaves the console, the slave keeps running
//
// LINKCORE_PORT_OFFSET in the environment shifts every port as it does for
// the slave (libs/linkcore/WIRE.md).
//
// Exit status: 0 when every command succeeded, 1 when one failed, 2 when the
// slave could not be reached.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "libs/linkcore/client.h"
#include "tools/ftconsole/ftclient.h"

namespace {

using namespace qv;

class ClientLink : public ftc::PacketLink {
public:
    explicit ClientLink(link::Client& c) : c_(c) {}
    bool Send(const uint8_t* d, std::size_t n) override { return c_.Send(d, n); }
    int Recv(uint8_t* b, std::size_t cap, int t) override { return c_.Recv(b, cap, t); }

private:
    link::Client& c_;
};

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> w;
    std::istringstream in(line);
    std::string s;
    while (in >> s) w.push_back(s);
    return w;
}

bool Report(const std::string& what, const ftc::Result& r) {
    if (r.ok) return true;
    if (!r.error.empty() && r.status == 0)
        std::cerr << what << ": " << r.error << "\n";
    else
        std::cerr << what << ": " << ftc::SystemErrorText(r.status) << " (status " << r.status << ")\n";
    return false;
}

std::string BaseName(const std::string& p) {
    std::size_t s = p.find_last_of("\\/:");
    return s == std::string::npos ? p : p.substr(s + 1);
}

class Bar {
public:
    Bar(const std::string& name, uint64_t total) : name_(name), total_(total), on_(isatty(2)) {}
    void operator()(uint64_t done) {
        if (!on_) return;
        int pct = total_ ? static_cast<int>(done * 100 / total_) : 100;
        int fill = pct * 30 / 100;
        std::fprintf(stderr, "\r%-20.20s [%-30s] %3d%% %llu", name_.c_str(), std::string(fill, '#').c_str(), pct,
                     static_cast<unsigned long long>(done));
    }
    ~Bar() {
        if (on_) std::fprintf(stderr, "\n");
    }

private:
    std::string name_;
    uint64_t total_;
    bool on_;
};

time_t DosToTime(uint16_t date, uint16_t time) {
    ft::DosStamp s = ft::DecodeDos(date, time);
    std::tm tm{};
    tm.tm_year = s.year - 1900;
    tm.tm_mon = s.month - 1;
    tm.tm_mday = s.day;
    tm.tm_hour = s.hour;
    tm.tm_min = s.minute;
    tm.tm_sec = s.second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

void TimeToDos(time_t t, uint16_t* date, uint16_t* time) {
    std::tm tm{};
    localtime_r(&t, &tm);
    ft::DosStamp s{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    if (!ft::EncodeDos(s, date, time)) ft::EncodeDos(ft::DosStamp{1980, 1, 1, 0, 0, 0}, date, time);
}

std::string ListPattern(const std::string& arg, ftc::FtClient& c) {
    std::string dir = arg;
    if (dir.empty()) {
        c.CurrentDirectory(&dir);
    }
    if (dir.find_first_of("*?") != std::string::npos) return dir;
    if (!dir.empty() && dir.back() != '\\' && dir.back() != ':') dir += '\\';
    return dir + "*.*";
}

// Runs one command line; false when it failed. *stop on quit/exit.
bool RunCommand(ftc::FtClient& c, const std::vector<std::string>& w, bool* stop) {
    const std::string& cmd = w[0];
    auto arg = [&](std::size_t i) { return i < w.size() ? w[i] : std::string(); };
    if (cmd == "drives") {
        std::vector<int> d;
        if (!Report("drives", c.Drives(&d))) return false;
        for (std::size_t i = 0; i < d.size(); ++i) std::cout << (i ? " " : "") << static_cast<char>('A' + d[i]) << ":";
        std::cout << "\n";
        return true;
    }
    if (cmd == "ls") {
        std::string pattern = ListPattern(arg(1), c);
        std::vector<std::string> dirs, files;
        if (!Report("ls " + pattern, c.List(pattern, false, &dirs))) return false;
        if (!Report("ls " + pattern, c.List(pattern, true, &files))) return false;
        for (const auto& d : dirs) std::cout << d << "\n";
        for (const auto& f : files) std::cout << f << "\n";
        return true;
    }
    if (cmd == "get" && w.size() >= 2) {
        std::string local = w.size() >= 3 ? w[2] : BaseName(w[1]);
        uint32_t size = 0;
        c.Size(w[1], &size);  // for the progress bar only
        std::string data;
        uint16_t date = 0, time = 0;
        ftc::Result r;
        {
            Bar bar(BaseName(w[1]), size);
            r = c.Get(w[1], &data, &date, &time, [&](uint64_t d) { bar(d); });
        }
        if (!Report("get " + w[1], r)) return false;
        std::ofstream out(local, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::cerr << "get " << w[1] << ": cannot write " << local << ": " << std::strerror(errno) << "\n";
            return false;
        }
        time_t t = DosToTime(date, time);
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        utimensat(AT_FDCWD, local.c_str(), ts, 0);
        std::cout << "got " << w[1] << " (" << data.size() << " bytes)\n";
        return true;
    }
    if ((cmd == "put" || cmd == "putnew") && w.size() >= 2) {
        std::string remote = w.size() >= 3 ? w[2] : BaseName(w[1]);
        std::ifstream in(w[1], std::ios::binary);
        struct stat st {};
        if (!in || stat(w[1].c_str(), &st) != 0) {
            std::cerr << "put " << w[1] << ": " << std::strerror(errno) << "\n";
            return false;
        }
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        uint16_t date, time;
        TimeToDos(st.st_mtime, &date, &time);
        ftc::Result r;
        {
            Bar bar(BaseName(w[1]), data.size());
            r = c.Put(remote, data, date, time, cmd == "putnew", [&](uint64_t d) { bar(d); });
        }
        if (!Report("put " + remote, r)) return false;
        std::cout << "put " << remote << " (" << data.size() << " bytes)\n";
        return true;
    }
    if (cmd == "mkdir" && w.size() >= 2) return Report("mkdir " + w[1], c.MakeDirectory(w[1]));
    if (cmd == "rm" && w.size() >= 2) {
        // The slave reports delete failures only on its own screen: check.
        if (!Report("rm " + w[1], c.Delete(w[1]))) return false;
        uint32_t size;
        ftc::Result still = c.Size(w[1], &size);
        if (still.ok) {
            std::cerr << "rm " << w[1] << ": the file could not be deleted\n";
            return false;
        }
        return true;
    }
    if (cmd == "pwd") {
        std::string d;
        if (!Report("pwd", c.CurrentDirectory(&d))) return false;
        std::cout << d << "\n";
        return true;
    }
    if (cmd == "size" && w.size() >= 2) {
        uint32_t size = 0;
        if (!Report("size " + w[1], c.Size(w[1], &size))) return false;
        std::cout << size << "\n";
        return true;
    }
    if (cmd == "verify" && w.size() >= 2) {
        ftc::Result r = c.VerifyDirectory(w[1]);
        if (r.error.empty()) {
            std::cout << w[1] << (r.status == 0 ? " exists\n" : " does not exist\n");
            return r.status == 0;
        }
        return Report("verify", r);
    }
    if (cmd == "drive" && w.size() >= 2) {
        ftc::Result r = c.VerifyDrive(w[1]);
        if (r.error.empty()) {
            std::cout << w[1] << (r.status == 0 ? " ready\n" : " has no medium\n");
            return r.status == 0;
        }
        return Report("drive", r);
    }
    if (cmd == "quit") {
        *stop = true;
        return Report("quit", c.Terminate());
    }
    if (cmd == "exit") {
        *stop = true;
        return true;
    }
    std::cerr << "unknown command or missing argument: " << cmd << "\n";
    return false;
}

int Usage() {
    std::cerr << "usage: ftconsole [--ipx] [--port N] [--timeout MS] [-c \"cmd; cmd\"] HOST\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool ipx = false;
    int port = 1764;
    int timeout = 2000;
    std::string script, host;
    bool have_script = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--ipx") ipx = true;
        else if (a == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
        else if (a == "--timeout" && i + 1 < argc) timeout = std::atoi(argv[++i]);
        else if (a == "-c" && i + 1 < argc) script = argv[++i], have_script = true;
        else if (!a.empty() && a[0] != '-' && host.empty()) host = a;
        else return Usage();
    }
    if (host.empty()) return Usage();

    std::string err;
    std::unique_ptr<link::Client> client =
        ipx ? link::Client::OpenIpx(host, 0x0041, &err) : link::Client::ConnectTcp(host, static_cast<uint16_t>(port), timeout, &err);
    if (!client) {
        std::cerr << "ftconsole: cannot reach " << host << ": " << err << "\n";
        return 2;
    }
    ClientLink link(*client);
    ftc::FtClient c(link, timeout);
    if (!Report("ftconsole: existence check", c.Existence())) return 2;

    bool all_ok = true, stop = false;
    auto run = [&](const std::string& line) {
        std::vector<std::string> w = Words(line);
        if (w.empty()) return;
        if (!RunCommand(c, w, &stop)) all_ok = false;
    };
    if (have_script) {
        std::istringstream in(script);
        std::string part;
        while (!stop && std::getline(in, part, ';')) run(part);
    } else {
        const bool tty = isatty(0);
        std::string line;
        while (!stop) {
            if (tty) std::cout << "ft> " << std::flush;
            if (!std::getline(std::cin, line)) break;
            run(line);
        }
    }
    if (c.resends() > 0) std::cerr << "ftconsole: " << c.resends() << " request(s) sent again after a time-out\n";
    return all_ok ? 0 : 1;
}
