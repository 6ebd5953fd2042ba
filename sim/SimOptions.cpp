#include "SimOptions.h"

#include "SimCalendar.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

bool ParseLong(const std::string& text, long long lo, long long hi, long long& value, int base = 10)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

bool ParseDouble(const std::string& text, double lo, double hi, double& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= lo && v <= hi))
        return false;
    value = v;
    return true;
}

// "5,20-31": single positions and first-last runs, each 1..65535.
bool ParseGaps(const std::string& text, std::vector<std::pair<uint16_t, uint16_t>>& gaps)
{
    gaps.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const size_t dash = item.find('-');
        long long first = 0;
        long long last = 0;
        if (!ParseLong(item.substr(0, dash), 1, 65535, first))
            return false;
        last = first;
        if (dash != std::string::npos && (!ParseLong(item.substr(dash + 1), first, 65535, last)))
            return false;
        gaps.emplace_back(static_cast<uint16_t>(first), static_cast<uint16_t>(last));
        at = comma + 1;
    }
    return !gaps.empty();
}

} // namespace

int64_t SimLocalNow()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    TSimCivil c;
    c.Year = tm.tm_year + 1900;
    c.Month = tm.tm_mon + 1;
    c.Day = tm.tm_mday;
    c.Hour = tm.tm_hour;
    c.Minute = tm.tm_min;
    c.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    return SimSecondsFromCivil(c);
}

bool SimParseOptions(int argc, const char* const* argv, TSimOptions& o, std::string& error)
{
    auto fail = [&](const std::string& what) {
        error = what;
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        long long n = 0;
        if (arg == "--help" || arg == "-h") {
            o.Help = true;
        } else if (arg == "--udp") {
            if (!value(v))
                return fail("--udp needs ADDR:PORT");
            const size_t colon = v.rfind(':');
            if (colon == std::string::npos || colon == 0 || !ParseLong(v.substr(colon + 1), 0, 65535, n))
                return fail("--udp needs ADDR:PORT, not '" + v + "'");
            o.Transport = TSimTransport::Udp;
            o.UdpAddress = v.substr(0, colon);
            o.UdpPort = static_cast<uint16_t>(n);
        } else if (arg == "--serial") {
            o.Transport = TSimTransport::Serial;
        } else if (arg == "--device") {
            if (!value(v) || v.empty())
                return fail("--device needs a path");
            o.Transport = TSimTransport::Device;
            o.DevicePath = v;
        } else if (arg == "--generation") {
            if (!value(v) || !ParseLong(v, 1, 3, n))
                return fail("--generation must be 1, 2 or 3");
            o.Regulator.Generation = static_cast<int>(n);
        } else if (arg == "--address") {
            if (!value(v) || !ParseLong(v, 0, 127, n))
                return fail("--address must be 0..127");
            o.Regulator.Address = static_cast<uint8_t>(n);
        } else if (arg == "--meters") {
            if (!value(v) || !ParseLong(v, 0, 12, n))
                return fail("--meters must be 0..12");
            o.Regulator.Meters = static_cast<int>(n);
        } else if (arg == "--kinds") {
            if (!value(v) || !ParseLong(v, 0, 0xFFFF, n, 0))
                return fail("--kinds must be a 16-bit mask (decimal or 0x..)");
            o.Regulator.Kinds = static_cast<uint16_t>(n);
        } else if (arg == "--preg") {
            long long vt = 0;
            long long nt = 0;
            const size_t comma = value(v) ? v.find(',') : std::string::npos;
            if (comma == std::string::npos || !ParseLong(v.substr(0, comma), 1, 65534, vt) ||
                !ParseLong(v.substr(comma + 1), 1, 65534, nt))
                return fail("--preg needs VT,NT in kW (1..65534)");
            o.Regulator.PregVT = static_cast<uint16_t>(vt);
            o.Regulator.PregNT = static_cast<uint16_t>(nt);
        } else if (arg == "--id") {
            if (!value(v))
                return fail("--id needs a text");
            o.Regulator.Id = v;
        } else if (arg == "--now") {
            int64_t s = 0;
            if (!value(v) || !SimParseCivil(v, s))
                return fail("--now needs YYYY-MM-DDTHH:MM");
            o.Regulator.Now = s;
            o.NowGiven = true;
        } else if (arg == "--offset") {
            if (!value(v) || !ParseLong(v, -864000, 864000, n))
                return fail("--offset must be -864000..864000 seconds");
            o.Offset = n;
        } else if (arg == "--load") {
            if (!value(v) || !SimParseLoad(v, o.Regulator.Load))
                return fail("--load needs ramp:P, steady:P or noisy:P (P percent of the limit, 0..1000)");
        } else if (arg == "--speed") {
            if (!value(v) || !ParseDouble(v, 0.0, 1e6, o.Speed))
                return fail("--speed must be 0..1000000");
        } else if (arg == "--interval") {
            if (!value(v) || !ParseLong(v, 1, 60, n) || 60 % n != 0)
                return fail("--interval must divide 60 (1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60)");
            o.Regulator.IntervalMinutes = static_cast<int>(n);
        } else if (arg == "--lost") {
            if (!value(v) || !ParseLong(v, 0, 65535, n))
                return fail("--lost must be 0..65535");
            o.Regulator.Lost = static_cast<int>(n);
        } else if (arg == "--gaps") {
            if (!value(v) || !ParseGaps(v, o.Regulator.Gaps))
                return fail("--gaps needs a list of positions and runs such as 5,20-31");
        } else if (arg == "--erased") {
            if (!value(v) || !ParseGaps(v, o.Regulator.Erased))
                return fail("--erased needs a list of positions and runs such as 5,20-31");
        } else if (arg == "--trailing") {
            if (!value(v) || !ParseLong(v, 0, 5, n))
                return fail("--trailing must be 0..5");
            o.Regulator.Trailing = static_cast<int>(n);
        } else if (arg == "--noise") {
            o.Noise = true;
        } else if (arg == "--seed") {
            if (!value(v) || !ParseLong(v, 0, 0x7FFFFFFFFFFFFFFFll, n, 0))
                return fail("--seed must be a non-negative number");
            o.Regulator.Seed = static_cast<uint64_t>(n);
        } else if (arg == "--fast") {
            o.Fast = true;
        } else if (arg == "--turnaround") {
            if (!value(v) || !ParseLong(v, 0, 60000, n))
                return fail("--turnaround must be 0..60000 ms");
            o.TurnaroundMs = static_cast<int>(n);
        } else if (arg == "--echo") {
            o.Echo = true;
        } else if (arg == "--min-gap") {
            if (!value(v) || !ParseLong(v, 0, 600000, n))
                return fail("--min-gap must be 0..600000 ms");
            o.MinGapMs = static_cast<int>(n);
        } else if (arg == "--late-ms") {
            if (!value(v) || !ParseLong(v, 0, 600000, n))
                return fail("--late-ms must be 0..600000");
            o.LateMs = static_cast<int>(n);
        } else if (arg == "--duplicate-ms") {
            if (!value(v) || !ParseLong(v, 0, 600000, n))
                return fail("--duplicate-ms must be 0..600000");
            o.DuplicateMs = static_cast<int>(n);
        } else if (arg == "--log") {
            o.Log = true;
        } else {
            bool matched = false;
            for (int f = 0; f < sfCount; ++f) {
                if (arg == std::string("--") + TSimFaults::Name(static_cast<TSimFault>(f))) {
                    double p = 0;
                    if (!value(v) || !ParseDouble(v, 0.0, 1.0, p))
                        return fail(arg + " needs a probability 0..1");
                    o.Faults[f] = p;
                    matched = true;
                }
            }
            if (!matched)
                return fail("unknown option '" + arg + "'");
        }
    }
    if (!o.NowGiven)
        o.Regulator.Now = SimLocalNow();
    o.Regulator.Now += o.Offset;
    return true;
}

std::string SimHelpText()
{
    return R"(qdrsim - a simulated QDR maximum-demand regulator for tests and development

Usage: qdrsim [options]

Transport (one of):
  --udp ADDR:PORT      answer UDP datagrams (default 127.0.0.1:10001; port 0 picks a free one)
  --serial             create a pseudo-terminal pair and answer on it; the slave path is printed
  --device PATH        answer on an existing tty (set to 1200 baud 8N1, raw)

On start one line "UDP ADDR:PORT" or "SERIAL PATH" is printed, then "READY".
The simulator runs until SIGTERM/SIGINT or the control line "quit"; end of file on
stdin does not stop it.

Regulator:
  --generation 1|2|3   regulator generation (default 3); its identification text ends in
                       1999, 2000 or 2002; generation 1 knows commands 0-4 and 7, 2 also 5 and 6,
                       3 all of 0-12
  --address N          bus address 0..127 (default 0); requests to other addresses go unanswered
  --meters N           meters 0..12 (default 2 for generations 1/2, 4 for 3)
  --kinds MASK         meter kinds, bit k set = meter k+1 measures reactive power (default 0)
  --preg VT,NT         regulated powers in kW (default 400,300); command 7 changes them
  --id TEXT            identification text instead of the generation's default
  --now YYYY-MM-DDTHH:MM  simulated clock at start (default: local time now)
  --speed F            simulated seconds per real second (default 1; 0 stops the clock)
  --interval MIN       measuring interval in minutes, a divisor of 60 (default 15)
  --lost N             records lost at the start of the older archive month (default 0)
  --seed N             seed of the load profile and of the faults (default 0)
  --gaps LIST          intervals without supply, as positions in every month (1 = the first
                       interval of the 1st): single ones and first-last runs, comma-separated,
                       e.g. 5,20-31; their records are empty (time 0, values 65535)
  --erased LIST        positions as for --gaps whose archive slots are erased: every byte
                       0xFF, so the record's time is no time of the month
  --trailing N         command-3 replies carry N (0..5) bytes after their records
  --offset SECONDS     the regulator's clock runs this far ahead of --now or local time
                       (negative: behind)

Live scenario (for the limit's alerts):
  --load SHAPE:P       the site's power as P percent of the regulated power of the interval's
                       tariff, the same shape in every interval; P is what the interval ends
                       with (its archive value): ramp rises steadily from 2/3 P to 4/3 P,
                       steady stays at P within 2%, noisy starts with a burst at 1.6 P for
                       its first sixth (at most 20 s) and jitters by 5% after it; the
                       archive follows the scenario (short intervals: --interval 1)

Archive: the current month and the one before. The month table w0..w4 is month 0 (current),
month 1 (previous), the records held of each, and the lost ones of month 1. Records are those
of completed intervals; a record's time is the START of its interval (day*1440 + minutes), and
its values are the interval's mean power per channel (65535 = no value): the meters for
generations 1/2, the main measurement and then the meters for generation 3. The values are a
pure function of the seed, month, interval and channel.
  Command 3 returns the consecutive existing records from the first asked for (none: an empty
  acknowledgement). Command 9 for a record that does not exist returns the month, index 0 and
  an empty record.

Line timing:
  --fast               serial bytes go out at once instead of at 1200 baud (8.33 ms per byte)
  --turnaround MS      delay between the request's last byte and the reply (default 30)
  --echo               echo every request byte as it arrives, paced like the line (two-wire bus)
  --min-gap MS         a request that comes sooner than MS after the previous one (answered or
                       not) gets no reply: a regulator that cannot keep up (default 0, off)
  --noise              serial: the line never goes quiet (a byte every byte time, as noise or a
                       second master would); requests are still answered

Faults (probabilities 0..1 per reply, drawn from --seed):
  --loss P             no reply
  --corrupt P          wrong checksum
  --misaddress P       another station's address (with a correct checksum)
  --short P            reply cut short, so the count byte promises more than arrives
  --tiny P             a 2-byte block
  --long P             a block of 258 bytes or more
  --late P             reply after --late-ms MS instead of the turnaround (default 1500)
  --wronglength P      one data byte too many, under a correct count byte and checksum
  --duplicate P        send the reply a second time --duplicate-ms MS later (default 50)

  --log                print every request and reply (hex, faults applied) to stderr
  --help               this text

Control lines on stdin (each answered by a line "OK ..." on stdout, or "ERROR ..." on stderr):
  fault NAME P         set a fault probability (NAME: loss corrupt misaddress short tiny long late
                       wronglength duplicate)
  advance MINUTES      move the simulated clock forward
  restart              the numbering of the current month's records restarts (its count drops to 0)
  meters N             a meter added or removed: N meters (0..12) from now on; every archive
                       record, old and new, has the new size
  noise on|off         serial: start or stop the noise of --noise
  preg VT NT           set the regulated powers in kW
  load SHAPE:P|off     change the live scenario (see --load)
  mute SECONDS         answer nothing for that many real seconds (0 ends a mute spell)
  status               print the clock, the month table and the regulated powers
  quit                 stop
)";
}
