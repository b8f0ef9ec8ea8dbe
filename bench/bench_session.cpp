// Long and crowded sessions, without models: synthetic embedded faces fed to the attendance
// session exactly as the live page and the processing run feed it.
//
//   live      a live session at 4 analysed frames a second: hundreds of members enrolled, people
//             arriving and leaving, each seen in spells with long unseen gaps between them (so
//             thousands of tracks); `presence` asked at a fixed interval of media time, then
//             `finish`. Prints the time of each presence call over the session, finish, and the
//             peak resident memory of the process.
//   cluster   grouping of c unrecognised tracks (visitors seen several times each, a share of exact
//             duplicates and identical faces, the rest strangers).
//   stills    a still-image run of 400 photos of 30 faces each.
//
// Times are processor time of the measuring thread. Every case prints a checksum of its results so
// that runs of different builds can be compared: equal checksums mean the same register, visitors,
// presence lists and clusters.
//
// usage: bench_session [--minutes M] [--members N] [--presence-every S] [--clusters 1000,4000,...]
//                      [--photos P] [--only live|cluster|stills]

#include "library/Library.h"
#include "library/ProcessSettings.h"
#include "recognition/Aggregation.h"
#include "recognition/Gallery.h"
#include "recognition/TrackDecision.h"
#include "recognition/Tracker.h"
#include "runs/AttendanceSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace tallymere;
namespace fs = std::filesystem;

namespace {

// Processor time of this thread: far less disturbed than wall time when other programs share the
// machine, and everything measured here runs on one thread.
struct CpuClock {
    using time_point = double;
    static double now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
};
using Clock = CpuClock;

double since(Clock::time_point start) {
    return Clock::now() - start;
}

double statusMiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(std::string(key).size())) / 1024.0;
    return 0;
}
double peakMiB() {
    return statusMiB("VmHWM:");
}
double residentMiB() {
    return statusMiB("VmRSS:");
}
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// FNV-1a over everything fed in.
struct Checksum {
    std::uint64_t h = 1469598103934665603ull;
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i)
            h = (h ^ b[i]) * 1099511628211ull;
    }
    void text(const std::string& s) { bytes(s.data(), s.size() + 1); }
    template <class T>
    void value(T v) {
        bytes(&v, sizeof v);
    }
};

std::vector<float> unit(std::vector<float> v) {
    double sum = 0;
    for (float x : v)
        sum += double(x) * x;
    const float scale = float(1 / std::sqrt(sum));
    for (float& x : v)
        x *= scale;
    return v;
}

std::vector<float> randomUnit(std::mt19937& rng) {
    std::normal_distribution<float> normal(0, 1);
    std::vector<float> v(512);
    for (float& x : v)
        x = normal(rng);
    return unit(std::move(v));
}

// A pool of noise vectors, so that a sighting costs an addition rather than 512 random draws.
struct Noise {
    std::vector<std::vector<float>> pool;
    explicit Noise(std::mt19937& rng, float strength) {
        for (int k = 0; k < 512; ++k) {
            auto v = randomUnit(rng);
            for (float& x : v)
                x *= strength;
            pool.push_back(std::move(v));
        }
    }
    std::vector<float> around(const std::vector<float>& base, std::mt19937& rng) const {
        const auto& n = pool[rng() % pool.size()];
        std::vector<float> v(512);
        for (std::size_t i = 0; i < 512; ++i)
            v[i] = base[i] + n[i];
        return unit(std::move(v));
    }
};

Member enrolled(int index, const std::vector<float>& embedding) {
    char id[16];
    std::snprintf(id, sizeof id, "M%04d", index + 1);
    Member m;
    m.id = id;
    m.name = "Member " + std::to_string(index + 1);
    Photo p("p.jpg", {});
    p.checked = true;
    p.ok = true;
    p.embedding = embedding;
    m.photos.push_back(p);
    return m;
}

void hashResults(Checksum& sum, const ServiceResults& r) {
    for (const MemberResult& m : r.members) {
        sum.text(m.memberID);
        sum.value(m.present);
        sum.value(m.confidence);
        sum.value(m.firstSeen.value_or(-1));
        sum.value(m.lastSeen.value_or(-1));
        sum.value(m.sightings);
        sum.value(m.needsReview);
        sum.text(m.reviewReason);
        sum.text(m.evidenceFile.value_or(""));
    }
    for (const Visitor& v : r.visitors) {
        sum.text(v.id);
        sum.text(v.imageFile);
        sum.value(v.firstSeen);
        sum.value(v.sightings);
    }
    sum.value(r.framesAnalysed);
}

// ---- live

void live(double minutes, int memberCount, double presenceEvery) {
    std::cout << "== live session: " << minutes << " min at 4 frames/s, " << memberCount
              << " members enrolled\n";
    std::mt19937 rng(7);
    const Noise noise(rng, 0.6f);
    std::vector<std::vector<float>> people;
    const int attendees = memberCount * 2 / 3 + 60; // two thirds of the members and 60 visitors
    std::vector<Member> members;
    for (int i = 0; i < std::max(memberCount, attendees); ++i)
        people.push_back(randomUnit(rng));
    for (int i = 0; i < memberCount; ++i)
        members.push_back(enrolled(i, noise.around(people[i], rng)));
    // Attendees: the first two thirds of the members, then visitors (people beyond the members).
    std::vector<int> who;
    for (int i = 0; i < memberCount * 2 / 3; ++i)
        who.push_back(i);
    for (int i = 0; i < 60; ++i)
        who.push_back(memberCount + i);
    while (int(people.size()) <= memberCount + 60)
        people.push_back(randomUnit(rng));

    const double seconds = minutes * 60;
    struct Person {
        int embedding;
        double arrive, leave;
        double nextChange; // when the current spell (seen or unseen) ends
        bool seen = false;
        Box seat;
        BGRAImage crop{112, 112};
    };
    std::uniform_real_distribution<double> uniform(0, 1);
    std::exponential_distribution<double> seenSpell(1 / 60.0), unseenSpell(1 / 240.0);
    std::vector<Person> crowd;
    const int columns = 20;
    for (std::size_t k = 0; k < who.size(); ++k) {
        Person p;
        p.embedding = who[k];
        p.arrive = uniform(rng) < 0.85 ? uniform(rng) * 900 : uniform(rng) * seconds * 0.7;
        p.leave = uniform(rng) < 0.8 ? seconds : p.arrive + uniform(rng) * (seconds - p.arrive);
        p.nextChange = p.arrive;
        const float w = 40 + float(uniform(rng) * 30);
        const float x = float(k % columns) * 96 + 8, y = float(k / columns) * 68 + 4;
        p.seat = {x, y, x + w, y + w};
        std::fill(p.crop.data.begin(), p.crop.data.end(), std::uint8_t(k));
        crowd.push_back(std::move(p));
    }

    const fs::path root = fs::temp_directory_path() / ("bench-session-" + std::to_string(rng()));
    Library library(root);
    ProcessSettings settings;
    settings.sampleFPS = 4;
    AttendanceSession session(members, library, settings, false);
    std::cout << "  " << crowd.size() << " attendees, gallery of " << session.gallery().rows.size()
              << " rows\n";

    Checksum presenceSum;
    std::vector<double> calls;
    double worst = 0, ingestTime = 0;
    int faces = 0;
    const int frames = int(seconds * 4);
    double nextPresence = presenceEvery;
    std::normal_distribution<float> jitter(0, 1.5f);
    const auto start = Clock::now();
    for (int frame = 0; frame < frames; ++frame) {
        const double t = frame / 4.0;
        std::vector<Face> visible;
        for (Person& p : crowd) {
            if (t < p.arrive || t >= p.leave) continue;
            while (t >= p.nextChange) {
                p.seen = !p.seen;
                p.nextChange += p.seen ? seenSpell(rng) : unseenSpell(rng);
            }
            if (!p.seen || uniform(rng) < 0.1) continue; // missed now and then
            Face f;
            const float dx = jitter(rng), dy = jitter(rng);
            f.box = {p.seat.x1 + dx, p.seat.y1 + dy, p.seat.x2 + dx, p.seat.y2 + dy};
            f.kps = std::vector<Point>(5, f.center());
            f.score = 0.6f + float(uniform(rng)) * 0.4f;
            f.blur = 50 + uniform(rng) * 200;
            f.frontal = float(uniform(rng));
            f.embedding = noise.around(people[std::size_t(p.embedding)], rng);
            f.crop = p.crop;
            visible.push_back(std::move(f));
        }
        faces += int(visible.size());
        const auto before = Clock::now();
        session.ingest(visible, t, frame);
        ingestTime += since(before);
        if (t + 1e-9 >= nextPresence) {
            nextPresence += presenceEvery;
            const auto call = Clock::now();
            const auto present = session.presence();
            const double ms = since(call) * 1000;
            calls.push_back(ms);
            worst = std::max(worst, ms);
            for (const auto& p : present) {
                presenceSum.text(p.memberID);
                presenceSum.value(p.score);
                presenceSum.value(p.firstSeen);
            }
            const int minute = int(t / 60);
            if (calls.size() == 1 || std::fmod(t, 900) < presenceEvery - 1e-9)
                std::printf("  t %3d min: %5zu tracks, %3zu present, presence %8.2f ms, "
                            "resident %6.0f MiB\n",
                            minute, session.tracker().tracks().size(), present.size(), ms,
                            residentMiB());
        }
    }
    const double loop = since(start);
    const auto finishStart = Clock::now();
    const ServiceResults results = session.finish(root / "services" / "S1", seconds, loop, false);
    const double finishTime = since(finishStart);
    Checksum resultSum;
    hashResults(resultSum, results);
    double mean = 0;
    for (double c : calls)
        mean += c;
    mean = calls.empty() ? 0 : mean / double(calls.size());
    std::printf("  %d frames, %d faces, %zu tracks; ingest %.1f s in all (%.2f ms a frame)\n",
                frames, faces, session.tracker().tracks().size(), ingestTime,
                ingestTime * 1000 / frames);
    std::printf("  presence: %zu calls, mean %.2f ms, worst %.2f ms\n", calls.size(), mean, worst);
    std::printf("  finish: %.2f s; %d present, %zu visitors\n", finishTime, results.present(),
                results.visitors.size());
    std::printf("  peak resident memory: %.0f MiB\n", peakMiB());
    std::printf("  checksums: presence %016llx, results %016llx\n",
                (unsigned long long)presenceSum.h, (unsigned long long)resultSum.h);
    std::error_code ec;
    fs::remove_all(root, ec);
}

// ---- cluster

void cluster(int count) {
    std::mt19937 rng(1000 + count);
    const Noise noise(rng, 0.7f);
    ProcessSettings s;
    std::vector<std::shared_ptr<Track>> tracks;
    std::vector<TrackDecision> decisions;
    std::uniform_real_distribution<double> uniform(0, 1);
    std::vector<std::vector<float>> visitors;
    std::vector<float> lastEmbedding;
    for (int id = 0; id < count; ++id) {
        // A fifth strangers seen once, the rest visitors seen 1-6 times; 2% exact duplicates of
        // the previous track's face.
        std::vector<float> e;
        const double kind = uniform(rng);
        if (!lastEmbedding.empty() && kind < 0.02) {
            e = lastEmbedding;
        } else if (kind < 0.2 || visitors.empty() || uniform(rng) < 0.25) {
            auto base = randomUnit(rng);
            if (kind >= 0.2) visitors.push_back(base);
            e = noise.around(base, rng);
        } else {
            e = noise.around(visitors[rng() % visitors.size()], rng);
        }
        lastEmbedding = e;
        auto track = std::make_shared<Track>(id, id, Box{0, 0, 60, 60});
        Face f;
        f.box = {0, 0, 60, 60};
        f.score = 0.9f;
        f.blur = 100;
        f.frontal = 1;
        f.embedding = e;
        for (int k = 0; k < 3; ++k)
            track->add(f, id + k, id * 3 + k, true);
        TrackDecision d;
        d.trackID = id;
        d.sightings = d.idSightings = 3;
        d.firstT = track->firstT;
        d.lastT = track->lastT;
        tracks.push_back(track);
        decisions.push_back(d);
    }
    const double base = residentMiB();
    resetPeak();
    const auto start = Clock::now();
    const auto clusters = clusterUnknowns(tracks, decisions, s, false);
    const double time = since(start);
    const double peak = peakMiB() - base;
    Checksum sum;
    for (const auto& c : clusters) {
        sum.value(c.size());
        for (const auto& t : c)
            sum.value(t->id);
    }
    std::printf("  %6d unknown tracks: %8.2f s, %7.1f MiB above the inputs, %5zu clusters, "
                "checksum %016llx\n",
                count, time, peak, clusters.size(), (unsigned long long)sum.h);
}

// ---- stills

void stills(int photos) {
    std::cout << "== still images: " << photos << " photos of 30 faces\n";
    std::mt19937 rng(3);
    const Noise noise(rng, 0.6f);
    std::vector<std::vector<float>> people;
    for (int i = 0; i < 400; ++i)
        people.push_back(randomUnit(rng));
    std::vector<Member> members;
    for (int i = 0; i < 200; ++i)
        members.push_back(enrolled(i, noise.around(people[std::size_t(i)], rng)));
    const fs::path root = fs::temp_directory_path() / ("bench-stills-" + std::to_string(rng()));
    Library library(root);
    ProcessSettings settings;
    AttendanceSession session(members, library, settings, true);
    std::uniform_real_distribution<float> uniform(0, 1);
    const BGRAImage crop(112, 112);
    double ingestTime = 0;
    for (int photo = 0; photo < photos; ++photo) {
        std::vector<Face> faces;
        for (int k = 0; k < 30; ++k) {
            Face f;
            const float w = 40 + uniform(rng) * 60;
            const float x = float(k % 6) * 320 + uniform(rng) * 200,
                        y = float(k / 6) * 200 + uniform(rng) * 80;
            f.box = {x, y, x + w, y + w};
            f.kps = std::vector<Point>(5, f.center());
            f.score = 0.9f;
            f.blur = 100;
            f.frontal = uniform(rng);
            f.embedding = noise.around(people[rng() % people.size()], rng);
            f.crop = crop;
            faces.push_back(std::move(f));
        }
        const auto before = Clock::now();
        session.ingest(faces, photo, photo);
        ingestTime += since(before);
    }
    const auto finishStart = Clock::now();
    const ServiceResults results = session.finish(root / "services" / "S1", photos, 0, true);
    const double finishTime = since(finishStart);
    Checksum sum;
    hashResults(sum, results);
    std::printf("  %zu tracks; ingest %.2f s (last photo's share grows with the tracks), finish "
                "%.2f s; %d present, %zu visitors; checksum %016llx\n",
                session.tracker().tracks().size(), ingestTime, finishTime, results.present(),
                results.visitors.size(), (unsigned long long)sum.h);
    std::error_code ec;
    fs::remove_all(root, ec);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    double minutes = 120, presenceEvery = 1;
    int members = 450, photos = 400;
    std::vector<int> sizes{1000, 4000, 10000};
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--minutes")
            minutes = std::stod(value);
        else if (flag == "--members")
            members = std::stoi(value);
        else if (flag == "--presence-every")
            presenceEvery = std::stod(value);
        else if (flag == "--photos")
            photos = std::stoi(value);
        else if (flag == "--only")
            only = value;
        else if (flag == "--clusters") {
            sizes.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');)
                sizes.push_back(std::stoi(item));
        } else {
            std::cerr << "unknown option " << flag << "\n";
            return 2;
        }
    }
    if (only.empty() || only == "cluster") {
        std::cout << "== clustering of unrecognised tracks\n";
        for (int c : sizes)
            cluster(c);
    }
    if (only.empty() || only == "stills") stills(photos);
    if (only.empty() || only == "live") live(minutes, members, presenceEvery);
    return 0;
}
