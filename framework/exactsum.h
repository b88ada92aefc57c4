#pragma once

// A sum of doubles whose value does not depend on the order of its terms:
// each term is added exactly to a fixed-point number of 32-bit pieces
// (weights 2^-128 ... 2^128), so that the cells of a subbasin give the same
// sum on one instance as on several, whose pieces add as integers. Bits of a
// term below 2^-128 are dropped (the same bits in any order); terms that are
// no number, infinite or above 2^127 add to a plain double beside it.
#include <mpi.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

struct ExactSum {
  static constexpr int kPieces = 8;
  static constexpr int kLowest = 128;  // the first piece weighs 2^-kLowest
  int64_t piece[kPieces] = {};
  double other = 0;  // terms outside the fixed-point range
  int64_t adds = 0;  // since the pieces were last carried

  void Clear() {
    for (int64_t& p : piece) p = 0;
    other = 0;
    adds = 0;
  }

  void Add(double x) {
    if (x == 0) return;
    // |x| = m 2^e with m in [0.5, 1) (frexp's e), read from the bits: a
    // subnormal term lies far below the lowest piece and is dropped.
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const int e = biased - 1022;
    if (biased == 0x7ff || e > 32 * kPieces - kLowest - 1) {
      other += x;
      return;
    }
    if (biased == 0) return;
    // |x| = M 2^(e - 53) with an integer M of 53 bits, at bit p of the pieces.
    uint64_t M = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    int p = e - 53 + kLowest;
    if (p < 0) {
      if (p <= -64) return;
      M >>= -p;
      p = 0;
    }
    const int i = p / 32;
    const unsigned __int128 v = static_cast<unsigned __int128>(M) << (p % 32);
    const int64_t sign = x < 0 ? -1 : 1;
    const uint64_t mask = 0xffffffffu;
    piece[i] += sign * static_cast<int64_t>(static_cast<uint64_t>(v) & mask);
    if (i + 1 < kPieces) piece[i + 1] += sign * static_cast<int64_t>(static_cast<uint64_t>(v >> 32) & mask);
    if (i + 2 < kPieces) piece[i + 2] += sign * static_cast<int64_t>(static_cast<uint64_t>(v >> 64));
    // Each piece takes less than 2^32 a term: carried long before it overflows.
    if (++adds >= (int64_t{1} << 29)) Carry();
  }

  void Add(const ExactSum& s) {
    for (int i = 0; i < kPieces; ++i) piece[i] += s.piece[i];
    other += s.other;
    adds += s.adds;
    if (adds >= (int64_t{1} << 29)) Carry();
  }

  // Every piece but the highest into 0 ... 2^32 - 1.
  void Carry() {
    for (int i = 0; i + 1 < kPieces; ++i) {
      const int64_t carry = piece[i] >> 32;  // (rounds towards minus infinity)
      piece[i] -= carry * (int64_t{1} << 32);
      piece[i + 1] += carry;
    }
    adds = 1;
  }

  // The value, rounded from the highest piece down (the same pieces give the same double).
  double Value() const {
    ExactSum s = *this;
    s.Carry();
    double v = 0;
    for (int i = kPieces - 1; i >= 0; --i) v += std::ldexp(static_cast<double>(s.piece[i]), 32 * i - kLowest);
    return v + other;
  }

  // The sums of all instances on root, the others left with 0 (root < 0:
  // on every instance), the n sums in one reduction.
  static void Reduce(ExactSum* sums, int n, int root) {
    if (n <= 0) return;
    const int count = n * (kPieces + 1);
    std::vector<int64_t> pieces(static_cast<size_t>(count));
    std::vector<double> outside(static_cast<size_t>(n));
    int64_t* buffer = pieces.data();
    double* others = outside.data();
    for (int k = 0; k < n; ++k) {
      sums[k].Carry();
      for (int i = 0; i < kPieces; ++i) buffer[k * (kPieces + 1) + i] = sums[k].piece[i];
      buffer[k * (kPieces + 1) + kPieces] = 0;
      others[k] = sums[k].other;
    }
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (root < 0) {
      MPI_Allreduce(MPI_IN_PLACE, buffer, count, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
      MPI_Allreduce(MPI_IN_PLACE, others, n, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    } else {
      MPI_Reduce(rank == root ? MPI_IN_PLACE : buffer, buffer, count, MPI_INT64_T, MPI_SUM, root, MPI_COMM_WORLD);
      MPI_Reduce(rank == root ? MPI_IN_PLACE : others, others, n, MPI_DOUBLE, MPI_SUM, root, MPI_COMM_WORLD);
    }
    for (int k = 0; k < n; ++k) {
      if (root >= 0 && rank != root) {
        sums[k].Clear();
        continue;
      }
      for (int i = 0; i < kPieces; ++i) sums[k].piece[i] = buffer[k * (kPieces + 1) + i];
      sums[k].other = others[k];
      sums[k].adds = 1;
    }
  }
};

// The water of a zone record and the weight of its cells, each summed exactly.
struct ExactRecord {
  ExactSum water, weight;
  void Clear() {
    water.Clear();
    weight.Clear();
  }
};
