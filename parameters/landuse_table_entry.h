// One land-use code of the land-use table: vegetation parameters as series
// over fixpoint days, root-water-uptake, interception, surface-routing and
// silting-up parameters, balance-period settings and the parameters of the
// dynamic-phenology methods, with the operations that give a parameter's
// value on a day.
//
// Series have n + 1 elements (n = JulDaysCount): indexes 1..n belong to the
// fixpoints, index 0 holds a copy of index n. JulDays[0] = JulDays[n] - 366,
// the last fixpoint of the year before. Entries of old monthly rows (method 1)
// hold 14 monthly values in rsc, rs_interception and rs_evaporation: index
// 1..12 January..December, 0 a copy of December, 13 a copy of January.
//
// The value-at-day operations may run from several OpenMP threads on one
// entry at once: they keep their altitude-corrected fixpoint days in locals.
// The only state they write is February's length for the monthly operations,
// an atomic that all threads of a step set to the same value.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "framework/memory_handling.h"

class DiagStream;

class landuse_table_entry {
 public:
  // Methods of the table entries.
  enum Method { kOldRow = 1, kVariableDayCount = 2, kDynPhen1 = 3, kDynPhen2 = 4, kDynPhen3 = 5, kDynPhen4 = 6 };
  static constexpr int kMaxNameLength = 199;

  landuse_table_entry();
  explicit landuse_table_entry(int code);
  landuse_table_entry(const landuse_table_entry&) = delete;
  landuse_table_entry& operator=(const landuse_table_entry&) = delete;

  // ---- set-up of the parameter grids ----
  void SetPhenoStartGrids(Grid* grids) { PhenoStartGrids = grids; }
  void SetFStarGrids(Grid* grids) { FStarGrids = grids; }
  void SetForcingSumGrids(Grid* grids) { ForcingSumGrids = grids; }
  void SetMultipleStartTimes(Stack* stacks, int maxJulDaysCount) {
    MultipleStartTimesStacks = stacks;
    MaxJulDaysCount = maxJulDaysCount;
  }
  void SetTStart(int t) { TStart = t; }
  // The file of the elevation model, named when a cell without elevation
  // stops the altitude correction (set by the set-up for the run).
  static void SetElevationModelName(const std::string& name) { ElevationModelName() = name; }
  void SetUseForcingOnly(unsigned char flag) { useForcingOnly = flag; }
  // The control file and lines of the entry, for messages.
  void SetSourceLines(const std::string& where) { sourceLines = where; }

  // ---- accessors ----
  const char* GetName() const { return name.c_str(); }
  int GetCode() const { return code; }
  void SetCode(int c) { code = c; }
  int GetMethod() const { return method; }
  int GetJulDaysCount() const { return JulDaysCount; }
  double GetRootDist() const { return RootDist; }
  double GetHReduDry() const { return HReduDry; }
  double GetTReduWet() const { return TReduWet; }
  double GetLimitReduWet() const { return LimitReduWet; }
  double GetIntercepCap() const { return IntercepCap; }
  double GetStressFactorDynPhen() const { return StressFactorDynPhen; }
  void GetSoilTillage(int& count, int*& days) {
    count = SoilTillageCount;
    days = SoilTillage.data();
  }
  int* GetJulDaysArray() { return JulDays.empty() ? nullptr : JulDays.data(); }
  double* GetAltDepSeries() { return AltDep.empty() ? nullptr : AltDep.data(); }
  double* GetForcingThresholdSeries() { return ForcingThreshold.empty() ? nullptr : ForcingThreshold.data(); }
  int GetJulDay(int i) const { return i >= 0 && i <= JulDaysCount ? JulDays[i] : -1; }
  double GetAltDep(int i) const { return i >= 0 && i <= JulDaysCount ? AltDep[i] : 0.0; }
  double GetForcingThreshold(int i) const {
    return method == kDynPhen3 && i >= 0 && i <= JulDaysCount ? ForcingThreshold[i] : -1.0;
  }
  int GetTStart() const { return TStart; }
  int GetPhenoFixpointIndex() const { return PhenoFixpointIndex; }
  unsigned char GetUseForcingOnly() const { return useForcingOnly; }
  double GetFStar() const { return FStar; }
  int GetJDReset_TStart() const { return JDReset_TStart; }
  int GetDP1_t1_dorm() const { return DP1_t1_dorm; }
  double GetDP1_T_Bf() const { return DP1_T_Bf; }
  int GetMaxStartJDforDP1() const { return maxStartJDforDP1; }
  int GetDP2_t0_dorm() const { return DP2_t0_dorm; }
  int GetDP2_t1_dorm() const { return DP2_t1_dorm; }
  double GetDP2_T_Bf() const { return DP2_T_Bf; }
  double GetDP2_T_Bc() const { return DP2_T_Bc; }
  double GetDP2_Par_a() const { return DP2_Par_a; }
  double GetDP2_Par_b() const { return DP2_Par_b; }
  double GetDP2_Offset_1() const { return DP2_Offset_1; }
  double GetDP2_Offset_2() const { return DP2_Offset_2; }
  int GetDP4_t0_dorm() const { return DP4_t0_dorm; }
  int GetDP4_t1_dorm() const { return DP4_t1_dorm; }
  double GetDP4_T0() const { return DP4_T0; }
  double GetDP4_T1() const { return DP4_T1; }
  double GetDP4_Par_a() const { return DP4_Par_a; }
  double GetDP4_Par_b() const { return DP4_Par_b; }
  double GetDP4_T_xylstop() const { return DP4_T_xylstop; }
  int GetDP4_t_xs1() const { return DP4_t_xs1; }
  int GetDP4_SPSLF() const { return DP4_SPSLF; }
  int GetUseInternalParameters() const { return useInternalParameters; }
  void SetUseInternalParameters(int mask) { useInternalParameters = mask; }
  int UseInternalParameter(int bits) const { return useInternalParameters & bits; }
  std::string GetUseInternalParametersString() const { return useInternalParametersText; }
  int GetStartVegetationPeriodForBalance() const { return StartVegetationPeriodForBalance; }
  int GetStopVegetationPeriodForBalance() const { return StopVegetationPeriodForBalance; }
  int GetJDVegetationResetForBalance() const { return JDVegetationResetForBalance; }
  void SetJDVegetationResetForBalance(int d) { JDVegetationResetForBalance = d; }
  int GetJDVegetationWriteForBalance() const { return JDVegetationWriteForBalance; }
  void SetJDVegetationWriteForBalance(int d) { JDVegetationWriteForBalance = d; }
  int GetSR_cultivation() const { return SR_cultivation; }
  double GetSR_CropDistX() const { return SR_CropDistX; }
  double GetSR_CropDistY() const { return SR_CropDistY; }
  double GetSR_K_ST() const { return SR_K_ST; }
  double GetSR_C_WR() const { return SR_C_WR; }
  void GetSR_rough_coeff1(double& a, double& b, double& c) const;
  void GetSR_rough_coeff2(double& a, double& b, double& c) const;
  double GetNfFreezing() const { return nf_freezing; }
  double GetNfThawing() const { return nf_thawing; }

  // ---- values at a day ----
  // Day of year in the Gregorian calendar; stores February's length of the
  // year for the monthly operations. Above 366 or negative: error 150.
  int GetJulianDay(int day, int month, int year) const;

  double GetRscAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                      double altitude) const;
  double GetRscAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column, double altitude) const;
  double GetRsInterceptionAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                                 double altitude) const;
  double GetRsInterceptionAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                      double altitude) const;
  double GetRsEvaporationAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                                double altitude) const;
  double GetRsEvaporationAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                     double altitude) const;
  double GetZ0AtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                     double altitude) const;
  double GetZ0AtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column, double altitude) const;
  double GetLAIAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                      double altitude) const;
  double GetLAIAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column, double altitude) const;
  double GetVCFAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                      double altitude) const;
  double GetVCFAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column, double altitude) const;
  double GetAlbedoAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                         double altitude) const;
  double GetAlbedoAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column, double altitude) const;
  double GetRootDepthAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                            double altitude) const;
  double GetRootDepthAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                 double altitude) const;
  double GetSR_StemDiameterAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                                  double altitude) const;
  double GetSR_StemDiameterAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                       double altitude) const;
  double GetSR_ResidCovrgAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                                double altitude) const;
  double GetSR_ResidCovrgAtJulianDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                     double altitude) const;
  double GetNFactorAtDate(DiagStream& stream, int day, int month, int year) const;

  // Monthly support points on the 15th of each month (old rows); February's
  // length is the one of the last day-of-year computation on the entry.
  double GetMonthlyValue(int day, int month) const;
  double GetMonthlyInterceptionValue(int day, int month) const;

  // Vegetation period for balances: the day itself on the day the period
  // starts (stops), -1.0 on other days, 0.0 when the entry defines no period.
  double GetVegetationStartDayAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                                     double altitude) const;
  double GetVegetationStartDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                               double altitude) const;
  double GetVegetationStopDayAtDate(DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                                    double altitude) const;
  double GetVegetationStopDay(DiagStream& stream, int julianDay, int layer, int row, int column, double altitude) const;

  // Rewrite CorrectedJulDays of the entry (main thread only; the value-at-day
  // operations use their own copy).
  void ApplyAltitudeCorrection(DiagStream& stream, int startDay, double altitude);
  int FindFixpointIndex(DiagStream& stream, int julianDay, int startDay, double altitude);

  int CheckMaxStartJDforDP1(int day, int month, int year);
  static double LinearInterpolate(double x0, double y0, double x1, double y1, double x);

  // ---- fields, filled by the table reader ----
  std::string name;
  int code = 0;
  int method = 0;
  int JulDaysCount = 0;
  int MaxJulDaysCount = 0;
  int StartVegetationPeriodForBalance = 0;
  int StopVegetationPeriodForBalance = 1000;
  int JDVegetationResetForBalance = 1;
  int JDVegetationWriteForBalance = 0;
  int useInternalParameters = 255;
  std::string useInternalParametersText = "11111111";
  // Per-layer inputs of the parameter grids, indexed by vegetation layer from 1
  // and then [row][column] (not owned).
  Stack* MultipleStartTimesStacks = nullptr;
  Grid* PhenoStartGrids = nullptr;
  Grid* FStarGrids = nullptr;
  Grid* ForcingSumGrids = nullptr;
  int TStart = 0;
  int PhenoFixpointIndex = 0;
  std::vector<int> JulDays;
  std::vector<int> CorrectedJulDays;
  std::vector<double> rsc;
  std::vector<double> rs_interception;
  std::vector<double> rs_evaporation;
  std::vector<double> Albedo;
  std::vector<double> LAI;
  std::vector<double> Z0;
  std::vector<double> VCF;
  std::vector<double> RootDepth;
  std::vector<double> AltDep;
  std::string sourceLines;
  std::vector<double> ForcingThreshold;
  double RootDist = 0.0;
  double HReduDry = 0.0;
  double TReduWet = 0.0;
  double LimitReduWet = 0.0;
  double FStar = 0.0;  // key "F*"
  int JDReset_TStart = 0;
  int DP1_t1_dorm = 0;
  double DP1_T_Bf = 0.0;
  int DP2_t0_dorm = 0;
  int DP2_t1_dorm = 0;
  double DP2_T_Bc = 0.0;
  double DP2_T_Bf = 0.0;
  double DP2_Par_a = 0.0;
  double DP2_Par_b = 0.0;
  double DP2_Offset_1 = 0.0;
  double DP2_Offset_2 = 0.0;
  int DP4_t0_dorm = 0;
  int DP4_t1_dorm = 0;
  double DP4_T0 = 0.0;
  double DP4_T1 = 0.0;
  double DP4_Par_a = 0.0;
  double DP4_Par_b = 0.0;
  double DP4_T_xylstop = 0.0;
  int DP4_t_xs1 = 0;
  int DP4_SPSLF = 0;
  int maxStartJDforDP1 = 0;
  unsigned char useForcingOnly = 0;
  double StressFactorDynPhen = 0.0;
  double IntercepCap = -1.0;
  std::vector<int> SoilTillage;
  int SoilTillageCount = 0;
  int SR_cultivation = 0;
  std::vector<double> SR_StemDiameter;
  std::vector<double> SR_ResidCovrg;
  double SR_CropDistX = 0.0;
  double SR_CropDistY = 0.0;
  double SR_K_ST = 0.0;
  double SR_C_WR = 0.0;
  std::vector<double> SR_rough_coeff1;
  std::vector<double> SR_rough_coeff2;
  std::vector<double> n_factor;  // key "n-factor"
  double nf_freezing = -9999.9;
  double nf_thawing = -9999.9;

  // Month lengths, index 1..12 January..December, 0 = December of the year
  // before; February is the length last stored by a day-of-year computation.
  int MonthLength(int month) const;

 private:
  enum class Series { Rsc, RsInterception, RsEvaporation, Z0, LAI, VCF, Albedo, RootDepth, StemDiameter, ResidCovrg };
  const std::vector<double>& SeriesOf(Series which) const;
  double SeriesAtJulianDay(Series which, DiagStream& stream, int julianDay, int layer, int row, int column,
                           double altitude) const;
  double SeriesAtDate(Series which, DiagStream& stream, int day, int month, int year, int layer, int row, int column,
                      double altitude) const;
  double MonthlyFromJulianDay(const std::vector<double>& series, int julianDay) const;
  double Monthly(const std::vector<double>& series, int day, int month) const;
  // Altitude correction into corrected[0..n] of the cell (row, column; 0
  // when none); throws 152.
  void CorrectFixpoints(DiagStream& stream, int startDay, double altitude, int* corrected, int row = 0,
                        int column = 0) const;
  // Fixpoint index 1..n+1 on the corrected days; throws 151 or 152.
  int SearchFixpoint(DiagStream& stream, int julianDay, int startDay, double altitude, int* corrected, int row = 0,
                     int column = 0) const;
  static std::string& ElevationModelName() {
    static std::string name;
    return name;
  }
  // Per-cell inputs; null or -1 when absent.
  const double* CellFixpoints(int layer, int row, int column) const;
  int CellStartDay(int layer, int row, int column) const;
  bool UsesPhenologyStart() const { return method == kDynPhen1 || method == kDynPhen2 || method == kDynPhen4; }

  // February of the year asked for last (the monthly series interpolate on it).
  void SetFebruary(int year) const;
  mutable std::atomic<int> februaryLength{28};
};
