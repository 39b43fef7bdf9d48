// The nine tax rates, taken from the rows of the tax query.
#pragma once

#include "gateway/Price.h"
#include "server/RowSet.h"
#include "server/ServerError.h"

namespace zel {

// Column "PCT" of rows 1 to 9, each divided by 100. Fewer than nine rows
// repeat the last one; no rows give 0; an empty (null or blank) PCT gives 0;
// rows after the ninth are not read. Throws ServerError when the row set has
// no column "PCT" or a PCT is text that is not a number.
TaxRateArray TaxRatesFromRows(const RowSet& rows);

}  // namespace zel
