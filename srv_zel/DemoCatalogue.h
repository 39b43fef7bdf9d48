// DemoCatalogue: a small shop catalogue to try the gateway with: fifty-odd
// articles with Spanish descriptions, prices on lists 1 to 4, taxes 16, 0
// and 8 %, and articles to which those taxes apply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "srv_zel/CatalogueStore.h"

namespace zel {

struct DemoCode {
    std::int64_t Code;
    std::string Description;
    std::string Note;  // what the gateway shows for it, in words
};

// EAN-13 check digit of twelve digits.
int Ean13CheckDigit(std::int64_t firstTwelveDigits);

// Replaces the demo articles (other articles stay) and the tax table, in one
// transaction. Returns three codes worth trying.
std::vector<DemoCode> WriteDemoCatalogue(CatalogueWriter& db);

// Number of demo articles written.
std::size_t DemoArticleCount();

}  // namespace zel
