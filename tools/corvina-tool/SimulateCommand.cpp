// corvina-tool simulate: a record of the simulated photoplethysmograph, made as fast as the
// machine allows, with the true beats beside it.

#include "app/SimulatedRecord.h"
#include "sim/SimScenario.h"
#include "tools/corvina-tool/Tool.h"

#include <cstdio>

namespace tool {
namespace {

constexpr const char* kCommand = "simulate";

constexpr const char* kHelp =
    "Usage: corvina-tool simulate --minutes M -o REC.pwv [--scenario NAME[,NAME...]] [--seed N]\n"
    "                             [--rate 500|100] [--truth BEATS.csv]\n"
    "\n"
    "Records the simulated Kestrel-9 through the program's own live chain (decoding, filter,\n"
    "live heart rate, recorder, regulator) on simulated time: the run waits for a settled\n"
    "regulator and a stable pulse as an unattended recording does, then records M minutes.\n"
    "A day takes seconds. One seed always gives the same signal, beats and truth.\n"
    "\n"
    "Options:\n"
    "  --minutes M   record length in minutes (decimals allowed), at most a week (required)\n"
    "  -o, --output REC.pwv\n"
    "                the record to write (replaced) (required)\n"
    "  --scenario S  one or more of rest, ectopic, artefact, lowperfusion, irregular, stress,\n"
    "                comma-separated (default rest):\n"
    "                  ectopic       premature beats with a compensatory pause, about 1 %\n"
    "                  artefact      motion bursts, baseline jumps, seconds of saturation\n"
    "                  lowperfusion  a quarter of the usual pulse amplitude, more noise\n"
    "                  irregular     atrial-fibrillation-like intervals\n"
    "                  stress        rate and LF/HF shift in a 10-minute cycle\n"
    "  --seed N      seed of the simulation, 0 ... 2^63 (default 1)\n"
    "  --rate HZ     500: as recorded live (default); 100: as a 100 Hz text file is imported\n"
    "                (no regulator states, beats from the import's detector)\n"
    "  --truth F     write the true beats as CSV: onset_s, peak_s (record seconds), rr_s (s\n"
    "                since the previous onset), ectopic (1 premature), artefact (1 when a\n"
    "                disturbance or the amplifier's baseline recovery covered the beat)\n"
    "  -h, --help    this text\n";

} // namespace

int RunSimulate(const std::vector<std::string>& argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argv,
                   {{"minutes", 0, true},
                    {"output", 'o', true},
                    {"scenario", 0, true},
                    {"seed", 0, true},
                    {"rate", 0, true},
                    {"truth", 0, true}},
                   args, error))
        return UsageError(kCommand, error);
    if (args.help) {
        Print(kHelp);
        return kExitOk;
    }
    if (!args.positional.empty())
        return UsageError(kCommand, "unexpected argument '" + args.positional[0] + "'");
    sSimRecordOptions o;
    const std::string* minutes = args.Value("minutes");
    if (!minutes) return UsageError(kCommand, "--minutes M is required");
    if (!ParseSeconds(*minutes, o.minutes) || !(o.minutes > 0) || o.minutes > 7 * 24 * 60)
        return UsageError(kCommand,
                          "--minutes wants a length above 0 and at most 10080, not '" + *minutes + "'");
    const std::string* output = args.Value("output");
    if (!output || PathArg(*output).IsEmpty()) return UsageError(kCommand, "-o REC.pwv is required");
    o.recordPath = PathArg(*output);
    if (const std::string* s = args.Value("scenario"))
        if (!ParseSimScenario(*s, o.scenario, error)) return UsageError(kCommand, error);
    if (const std::string* s = args.Value("seed")) {
        int64_t seed = 0;
        if (!ParseInt(*s, seed) || seed < 0)
            return UsageError(kCommand, "--seed wants a whole number >= 0, not '" + *s + "'");
        o.seed = uint64_t(seed);
    }
    if (const std::string* s = args.Value("rate")) {
        int64_t rate = 0;
        if (!ParseInt(*s, rate) || (rate != 500 && rate != 100))
            return UsageError(kCommand, "--rate wants 500 or 100, not '" + *s + "'");
        o.rate = int(rate);
    }
    if (const std::string* s = args.Value("truth")) {
        if (PathArg(*s).IsEmpty()) return UsageError(kCommand, "empty truth file name");
        if (SameFile(*s, *output)) return UsageError(kCommand, "the truth file would replace the record");
        o.truthPath = *s;
    }

    const sSimRecordResult r = WriteSimulatedRecord(o);
    if (!r.ok) {
        Error(kCommand, r.reason);
        return kExitFailure;
    }
    std::printf(
        "wrote %s: %s s at %d Hz, scenario %s, seed %llu; pulse stable after %s s of simulated time\n",
        output->c_str(), MString::FromDouble(r.recordSeconds).ToUtf8().c_str(), o.rate,
        SimScenarioName(o.scenario).c_str(), (unsigned long long)o.seed,
        MString::FromDouble(r.settleSeconds).ToUtf8().c_str());
    std::printf("  %lld samples, %lld heart-rate entries from the live detector\n", (long long)r.samples,
                (long long)r.heartRates);
    if (!o.truthPath.empty())
        std::printf("wrote %s: %lld true beats, %lld of them disturbed\n", o.truthPath.c_str(),
                    (long long)r.trueBeats, (long long)r.disturbedBeats);
    return kExitOk;
}

} // namespace tool
