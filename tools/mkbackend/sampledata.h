#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Made-up business records that look and compress like a small firm's real data: names,
// addresses, products, prices and dates drawn from fixed word lists by a seeded generator, so
// the same seed always gives the same records.
class SampleData {
public:
    explicit SampleData(std::uint64_t seed = 20240611);

    struct Customer {
        std::string name, street, city, postCode, phone, email, notes;
        double creditLimit = 0;
    };
    struct Line {
        const char *productCode = "";
        const char *description = "";
        std::int64_t quantity = 0;
        double unitPrice = 0, amount = 0;
    };
    struct Invoice {
        std::int64_t customerId = 0;
        std::string reference, invoiceDate, dueDate, status;
        double total = 0;
        std::vector<Line> lines;
    };

    Customer customer();
    // Invoice number id (from 1) of a customer among customers 1..customerCount; dates advance
    // with id, a few invoices a day.
    Invoice invoice(std::int64_t id, std::int64_t customerCount);

private:
    std::uint64_t next();
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    template <typename T, std::size_t N> const T &pick(const T (&list)[N]) { return list[below(N)]; }

    std::uint64_t state_;
    std::int64_t datedDay_ = -1; // the day whose dates are in invoiceDate_ and dueDate_
    std::string invoiceDate_, dueDate_;
};

// "2019-03-14" for day number days counted from 1970-01-01.
std::string isoDate(std::int64_t days);
