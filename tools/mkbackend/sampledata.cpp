#include "sampledata.h"

#include <cmath>
#include <cstdio>

namespace {

const char *const firstNames[] = {"James",  "Mary",     "John",   "Patricia", "Robert", "Jennifer", "Michael", "Linda",
                                  "David",  "Susan",    "Thomas", "Sarah",    "Daniel", "Karen",    "Paul",    "Nancy",
                                  "Mark",   "Lisa",     "Peter",  "Margaret", "George", "Sandra",   "Kevin",   "Emily",
                                  "Andrew", "Michelle", "Simon",  "Helen",    "Martin", "Claire",   "Oliver",  "Anna"};
const char *const lastNames[] = {"Smith",   "Jones",    "Taylor", "Brown",    "Williams", "Wilson", "Johnson",
                                 "Davies",  "Robinson", "Wright", "Thompson", "Evans",    "Walker", "White",
                                 "Roberts", "Green",    "Hall",   "Wood",     "Jackson",  "Clarke", "Harris",
                                 "Lewis",   "Martin",   "Cooper", "King",     "Baker",    "Morgan", "Hughes",
                                 "Edwards", "Turner",   "Parker", "Collins"};
const char *const companySuffixes[] = {"Ltd", "& Sons", "Trading", "Supplies", "Services", "Partners", "Group", "& Co"};
const char *const streets[] = {"High",   "Station", "Church", "Park", "Victoria",  "Green",
                               "Manor",  "Kings",   "Queens", "Mill", "Alexandra", "Richmond",
                               "Grange", "Windsor", "Albert", "New",  "School",    "Main"};
const char *const streetKinds[] = {"Street", "Road", "Lane", "Avenue", "Close", "Drive", "Way", "Gardens"};
const char *const cities[] = {"Leeds",   "Bristol",   "York",   "Norwich",  "Exeter",  "Derby",    "Bath",
                              "Chester", "Lincoln",   "Oxford", "Reading",  "Durham",  "Carlisle", "Preston",
                              "Ipswich", "Cambridge", "Hull",   "Plymouth", "Swindon", "Worcester"};
const char *const statuses[] = {"Paid", "Paid", "Paid", "Paid", "Open", "Open", "Overdue", "Cancelled"};
const char *const noteTexts[] = {"",
                                 "",
                                 "",
                                 "Deliver to the side entrance.",
                                 "Invoices by e-mail only, please.",
                                 "Call before delivery; closed on Mondays.",
                                 "Account on hold until the March invoice is settled.",
                                 "Prefers payment by bank transfer, 30 days.",
                                 "Ask for the purchasing manager."};

struct Product {
    const char *code;
    const char *description;
    double price;
};
const Product products[] = {
    {"P-10010", "A4 copy paper 80 g, box of 5 reams", 24.99},
    {"P-10020", "Ballpoint pens, blue, pack of 50", 8.75},
    {"P-10030", "Lever arch file, A4, black", 2.49},
    {"P-10040", "Stapler, full strip, metal", 12.30},
    {"P-10050", "Staples 26/6, box of 5000", 1.95},
    {"P-10060", "Printer toner, black, high yield", 89.00},
    {"P-10070", "Office chair, mesh back, adjustable", 149.00},
    {"P-10080", "Desk, 1600 x 800, beech", 219.00},
    {"P-10090", "Filing cabinet, 4 drawers, grey", 189.50},
    {"P-10100", "Whiteboard, magnetic, 1200 x 900", 74.90},
    {"P-10110", "Sticky notes, yellow, 12 pads", 5.60},
    {"P-10120", "Envelopes C5, white, box of 500", 18.40},
    {"P-10130", "Desk lamp, LED, dimmable", 34.95},
    {"P-10140", "Shredder, cross cut, 12 sheets", 129.00},
    {"P-10150", "Document wallet, assorted colours, pack of 50", 11.20},
    {"P-10160", "Calculator, desktop, 12 digits", 9.99},
    {"P-10170", "Monitor stand, adjustable height", 39.00},
    {"P-10180", "Coffee, ground, 1 kg", 13.50},
    {"P-10190", "Cleaning service, monthly", 320.00},
    {"P-10200", "Delivery charge", 7.50},
};

double roundCents(double value)
{
    return std::round(value * 100.0) / 100.0;
}

} // namespace

std::string isoDate(std::int64_t days)
{
    // Civil date from a day count (proleptic Gregorian calendar).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = int(doy - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const int year = int(yoe + era * 400 + (month <= 2));
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

SampleData::SampleData(std::uint64_t seed) : state_(seed) {}

std::uint64_t SampleData::next()
{
    // splitmix64: fast, and plenty for made-up records.
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

SampleData::Customer SampleData::customer()
{
    Customer c;
    const std::string first = pick(firstNames), last = pick(lastNames);
    if (below(3) == 0)
        c.name = last + " " + pick(companySuffixes);
    else
        c.name = first + " " + last;
    c.street = std::to_string(1 + below(240)) + " " + pick(streets) + " " + pick(streetKinds);
    c.city = pick(cities);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%c%c%d %d%c%c", char('A' + below(26)), char('A' + below(26)), int(1 + below(29)),
                  int(below(10)), char('A' + below(26)), char('A' + below(26)));
    c.postCode = buf;
    std::snprintf(buf, sizeof buf, "01%03d %06d", int(below(1000)), int(below(1000000)));
    c.phone = buf;
    c.email = first + "." + last + "@example.com";
    for (char &ch : c.email)
        ch = char(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    c.creditLimit = double(500 * (1 + below(40)));
    c.notes = pick(noteTexts);
    return c;
}

SampleData::Invoice SampleData::invoice(std::int64_t id, std::int64_t customerCount)
{
    Invoice inv;
    inv.customerId = std::int64_t(1 + below(std::uint64_t(customerCount > 0 ? customerCount : 1)));
    char buf[32];
    std::snprintf(buf, sizeof buf, "INV-%07lld", static_cast<long long>(id));
    inv.reference = buf;
    const std::int64_t day = 16436 + id / 12; // from 2015-01-01, about a dozen invoices a day
    if (day != datedDay_) {
        datedDay_ = day;
        invoiceDate_ = isoDate(day);
        dueDate_ = isoDate(day + 30);
    }
    inv.invoiceDate = invoiceDate_;
    inv.dueDate = dueDate_;
    inv.status = pick(statuses);
    const int lineCount = int(1 + below(8));
    inv.lines.reserve(std::size_t(lineCount));
    for (int i = 0; i < lineCount; ++i) {
        const Product &p = pick(products);
        Line line;
        line.productCode = p.code;
        line.description = p.description;
        line.quantity = std::int64_t(1 + below(below(4) == 0 ? 50 : 6));
        line.unitPrice = p.price;
        line.amount = roundCents(p.price * double(line.quantity));
        inv.total += line.amount;
        inv.lines.push_back(line);
    }
    inv.total = roundCents(inv.total);
    return inv;
}
