// The text of erp_schema.sql (the ERP tables), built into the test library so that fixtures and
// tools create databases without looking for the file.
#pragma once

namespace quirada::testing {

const char* ErpSchemaSql();

}  // namespace quirada::testing
