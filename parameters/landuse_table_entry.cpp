#include "parameters/landuse_table_entry.h"

landuse_table_entry::landuse_table_entry() = default;

landuse_table_entry::landuse_table_entry(int entryCode) : code(entryCode) {}

void landuse_table_entry::GetSR_rough_coeff1(double& a, double& b, double& c) const {
  const bool set = SR_rough_coeff1.size() >= 4;
  a = set ? SR_rough_coeff1[1] : 0.0;
  b = set ? SR_rough_coeff1[2] : 0.0;
  c = set ? SR_rough_coeff1[3] : 0.0;
}

void landuse_table_entry::GetSR_rough_coeff2(double& a, double& b, double& c) const {
  const bool set = SR_rough_coeff2.size() >= 4;
  a = set ? SR_rough_coeff2[1] : 0.0;
  b = set ? SR_rough_coeff2[2] : 0.0;
  c = set ? SR_rough_coeff2[3] : 0.0;
}
