// `qkr explore`: runs seeded plans, shrinks the first failing one and writes its replay file.
#include "tools/explore/command.h"

#include "tools/explore/explore.h"

#include <algorithm>
#include <fstream>
#include <ostream>
#include <sys/resource.h>

namespace qkr::explore {

namespace {

// CPU seconds of this process and of its finished children (each run has a process of its own).
double cpu_seconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        ::getrusage(who, &u);
        total += double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                 double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

void print_problems(const Result& result, std::ostream& out) {
    for (const std::string& p : result.problems)
        out << "  " << p << "\n";
}

int replay(const CommandOptions& options, std::ostream& out) {
    std::ifstream in(options.replay);
    if (!in) {
        out << "qkr explore: cannot read " << options.replay << "\n";
        return 2;
    }
    std::string error;
    const std::optional<Plan> plan = read_plan(in, &error);
    if (!plan) {
        out << "qkr explore: " << options.replay << ": " << error << "\n";
        return 2;
    }
    const Result result = run(*plan, options.trace);
    out << "replayed " << plan->ops.size() << " operations, seed " << plan->seed << ": "
        << (result.problems.empty() ? "every invariant held" : "FAILED") << "\n";
    print_problems(result, out);
    return result.problems.empty() ? 0 : 1;
}

} // namespace

int command(const CommandOptions& options, std::ostream& out) {
    if (!options.replay.empty())
        return replay(options, out);
    const double cpu_began = cpu_seconds();
    std::uint64_t ops = 0;
    std::uint64_t switches = 0;
    for (std::uint64_t i = 0; i < options.seeds; ++i) {
        const std::uint64_t seed = options.seed + i;
        Plan plan = generate(seed, options.steps, options.schedule);
        plan.depth = options.depth;
        const Result result = run(plan);
        ops += result.ops_done;
        switches += result.switch_points;
        if (options.verbose)
            out << "seed " << seed << ": " << plan.readers << " reader(s), " << result.ops_done
                << " operations, " << result.switch_points << " switch points, "
                << result.virtual_time / kern::kTicksPerSecond << " s of virtual time, "
                << result.apdus_ok << " APDUs checked\n";
        if (result.problems.empty())
            continue;
        out << "seed " << seed << ": FAILED\n";
        print_problems(result, out);
        const Plan small = options.shrink ? shrink(plan) : plan;
        const std::string path =
            options.out_dir + "/explore-seed-" + std::to_string(seed) + ".plan";
        std::ofstream file(path);
        write_plan(small, file);
        out << "shrunk to " << small.ops.size() << " of " << plan.ops.size()
            << " operations: qkr explore --replay " << path << "\n";
        return 1;
    }
    const double cpu_s = std::max(cpu_seconds() - cpu_began, 1e-6);
    out << options.seeds << " seed(s) from " << options.seed << ", " << ops << " operations, "
        << switches << " switch points: every invariant held (" << static_cast<long>(ops / cpu_s)
        << " operations per CPU-second)\n";
    return 0;
}

} // namespace qkr::explore
