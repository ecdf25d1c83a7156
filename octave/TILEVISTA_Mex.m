function varargout = TILEVISTA_Mex(varargin)
%TILEVISTA_MEX  Block-wise greedy approximation of an image over a separable dictionary.
%   [APPROX, YIDX, XIDX, DUALS, COEFS, ORTHO, TOTAL] =
%       TILEVISTA_Mex(BLOCKS, DY, DX)
%       TILEVISTA_Mex(BLOCKS, DY, DX, TOL)
%       TILEVISTA_Mex(BLOCKS, DY, DX, TOL, MAXATOMS)
%
%   Approximates every block of BLOCKS by an orthogonal matching pursuit
%   over the separable dictionary whose atoms are the outer products
%   DY(:,i) * DX(:,j).' (i = 1..Ky, j = 1..Kx). The pursuit is global:
%   each step adds one atom to the one block whose best atom has the largest
%   absolute inner product with that block's residual, among all blocks.
%   Inner products are not divided by the atoms' norms; use dictionaries with
%   unit-norm columns (tilevista_cosine_dictionary) unless a weighting is
%   intended. All seven outputs must be requested.
%
%   Inputs
%     BLOCKS    d x nc cell array of Q = d*nc real full double matrices, all
%               rows x cols (see tilevista_blocks). Required, not empty.
%     DY        rows x Ky real full double matrix, the Y (block row) atoms.
%               Required, not empty.
%     DX        cols x Kx real full double matrix, the X (block column)
%               atoms. Required, not empty. Ky + Kx must be at least 3.
%     TOL       real double scalar >= 0, or [] for the default 6.5. The
%               pursuit stops once the sum over all blocks and pixels of the
%               squared residual is below TOL (see tilevista_tol_for_psnr).
%               TOL = 0 never stops it this way.
%     MAXATOMS  real double scalar, or [] for the default 0: the total
%               number of atoms allowed; 0 means the capacity of all blocks,
%               Q * min(Ky*Kx, rows*cols). It is truncated toward zero
%               (3.9 gives 3, -0.5 gives 0); NaN and +-Inf give 0. Values
%               beyond the 32-bit range keep their low 32 bits.
%
%   Outputs (m_i is the number of atoms block i received, N = rows*cols)
%     APPROX    d x nc cell; element i the rows x cols approximation of
%               block i, all zeros when m_i = 0.
%     YIDX      d x nc cell; element i the m_i x 1 Y atom indices (1-based)
%               in the order of choice, [] when m_i = 0.
%     XIDX      d x nc cell; element i the m_i x 1 X atom indices, as YIDX.
%     DUALS     d x nc cell; element i the N x m_i dual (biorthogonal)
%               vectors: DUALS{i}(:,j).' * atom_k is 1 for j = k, else 0.
%     COEFS     d x nc cell; element i the m_i x 1 coefficients,
%               DUALS{i}.' * BLOCKS{i}(:), so that APPROX{i} is the sum of
%               COEFS{i}(j) * DY(:,YIDX{i}(j)) * DX(:,XIDX{i}(j)).'.
%     ORTHO     d x nc cell; element i the N x m_i orthonormal basis of the
%               span of block i's atoms, in the order of choice.
%     TOTAL     1 x 1 double, the total number of atoms, sum of all m_i.
%     Vectors of length N are blocks in column-major order, BLOCK(:).
%
%   Stop rules, the first that holds:
%     - the total squared residual is below TOL; the console shows
%       "We have have reached (tol) for approximation. tol= ..., max_err= ..."
%       with max_err the total squared residual after the last atom;
%     - no block has an atom whose absolute inner product with its residual
%       is at least 1e-10 (tol2); the console shows
%       "TILEVISTA stopped, max(|<f,q>|/||q||)<= tol2=1e-10.";
%     - MAXATOMS atoms have been added (no message).
%   A block holding min(Ky*Kx, N) atoms takes no more. A block whose next
%   atom lies, to within 1e-7 of its norm, in the span of the block's earlier
%   atoms takes no more either; that atom is not added. Each call first
%   prints a banner with tol, tol1 = 1e-07 and tol2 = 1e-10.
%
%   Errors. The messages the module raises (shown by the host after
%   "TILEVISTA_Mex: "), with the checks in this order:
%     Wrong number of input arguments             (fewer than 3 or more than 5)
%     Input must be double, real, full,and nonstring
%                                                 (DY, DX, TOL or MAXATOMS)
%     The image matrix is empty!!                 (BLOCKS empty)
%     Must Enter a Cell Block                     (BLOCKS not a cell array)
%     Error!!                                     after the console line
%       The atoms in the dictionary dictionary Y are of length %i and should be of length %i
%       (or dictionary X): DY must have rows rows, DX cols rows
%     One dictionary should have more than 1 atom and the other should have at least one!!
%                                                 after the console line
%       Dictionary Y has %i atoms and dictionary X has %i atoms
%     The tolerance should be a scalar
%     The maximum number of atoms should be a scalar
%     Wrong number of output arguments!           (fewer than 7 outputs)
%     Error TILEVISTA exited early see message above!!
%                                                 after one of the console lines
%       The minimum number of atoms %i must be greater than 0 and less than %i!
%       Tol is %g is should be positive!
%   A block that is not a real full double matrix of the size of the others,
%   and a call whose sizes do not fit the module's 32-bit arithmetic, are
%   rejected with a message that says so.
%
%   Memory. Beyond its inputs a call needs, in doubles of 8 bytes, with
%   N = rows*cols, Q blocks, T threads and cap = min(Ky*Kx, N): 2*Q*N for
%   the residuals and approximations; on each thread Ky*Kx +
%   min(Ky*cols, rows*Kx) + N to score a block and build an atom; for a block
%   of m atoms 2*N*m for its orthonormal and dual vectors in the outputs and,
%   until those are filled, its orthonormal vectors in working storage that
%   grows by half when full (at most 1.5*N*m, never beyond N*cap). So about
%   2*Q*N + 2*N*(atoms in all) at the end of a call. The fixed part is
%   checked against the memory available before the pursuit (on fewer
%   threads when only fewer score tables fit); a call that cannot get what it
%   needs ends with "Not enough memory for this call: ...", naming these
%   amounts.
%
%   Threads. The blocks take their atoms on several threads at once; the
%   outputs and the console text are the same, bit for bit, whatever their
%   number. A call uses every processor the process may run on (its affinity
%   mask), never more threads than blocks. The environment variable
%   TILEVISTA_THREADS, read at every call, sets another number: 1 to 1024, or
%   0 (or unset) for every processor; anything else ends the call with a
%   message. tilevista_threads(n) sets it from a running session. In parfor
%   workers and other jobs that run side by side, set 1, so that the jobs do
%   not compete for the same processors.
%
%   Example:
%     img = double(imread('camera.png'));
%     [blocks, info] = tilevista_blocks(img, 8);
%     D = tilevista_cosine_dictionary(8, 16);
%     [A, iy, ix, B, c, U, n] = TILEVISTA_Mex(blocks, D, D, tilevista_tol_for_psnr(img, 40, 255));
%     approx = tilevista_assemble(A, info);
%
%   Setup, Octave: install the package once, then load it in each session:
%     pkg install tilevista-<version>.tar.gz    % made by "make package"
%     pkg load tilevista
%   Or, from the project: build the module with tilevista_build; it goes to
%   build/octave (Octave) or build/matlab (MATLAB) together with a copy of
%   this help file. Put that folder on the path before the toolbox folder
%   octave/, e.g.
%     addpath('octave'); addpath('build/octave');   % the last added is first
%
%   See also TILEVISTA_BLOCKS, TILEVISTA_ASSEMBLE, TILEVISTA_COSINE_DICTIONARY,
%   TILEVISTA_COMBINE_DICTIONARIES, TILEVISTA_TOL_FOR_PSNR, TILEVISTA_PSNR,
%   TILEVISTA_SPARSITY_RATIO, TILEVISTA_THREADS, TILEVISTA_BUILD, TILEVISTA_DEMO.

% This file documents the compiled module. The host runs the module instead
% of this function whenever the module sits in the same folder or in a folder
% earlier on the path; reaching the code below means it was not found.
  error ('TILEVISTA_Mex: the compiled module was not found; build it with tilevista_build and put its folder (build/octave or build/matlab) on the path before this one, or in Octave install and load the package: pkg install tilevista-<version>.tar.gz (made by make package), then pkg load tilevista');
end
