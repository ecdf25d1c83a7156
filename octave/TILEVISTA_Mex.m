function varargout = TILEVISTA_Mex(varargin)
%TILEVISTA_MEX  Block-wise greedy approximation of an image over a separable dictionary.
%   [APPROX, YIDX, XIDX, DUALS, COEFS, ORTHO, TOTAL] =
%       TILEVISTA_Mex(BLOCKS, DY, DX)
%       TILEVISTA_Mex(BLOCKS, DY, DX, TOL)
%       TILEVISTA_Mex(BLOCKS, DY, DX, TOL, MAXATOMS)
%
%   Request all seven outputs, or use tilevista_pursuit: with fewer the
%   call ends with "Wrong number of output arguments!". The struct function
%     S = tilevista_pursuit(BLOCKS, DY, DX, TOL, MAXATOMS, ...)
%   returns the same results as the fields of one struct.
%
%   Approximates every block of BLOCKS by an orthogonal matching pursuit
%   over the separable dictionary whose atoms are the outer products
%   DY(:,i) * DX(:,j).' (i = 1..Ky, j = 1..Kx). The pursuit is global:
%   each step adds one atom to the one block whose best atom has the largest
%   absolute inner product with that block's residual, among all blocks.
%   Inner products are not divided by the atoms' norms; use dictionaries with
%   unit-norm columns (tilevista_cosine_dictionary) unless a weighting is
%   intended.
%
%   Inputs
%     BLOCKS    d x nc cell array of Q = d*nc real full double matrices, all
%               rows x cols (see tilevista_blocks). Required, not empty.
%               Blocks of another class (uint8, single, ...) are rejected,
%               not converted (Python's tilevista.approximate converts them
%               exactly): tilevista_blocks gives double blocks of any image.
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
%   prints a banner with tol, tol1 = 1e-07 and tol2 = 1e-10. The "We have
%   have reached (tol)" message ends without a line feed, so whatever is
%   printed next continues its line. For a clean console make the call
%   inside evalc, which keeps the banner and the stop message off it (TEXT
%   holds them, exactly):
%     text = evalc ('[A, iy, ix, B, c, U, n] = TILEVISTA_Mex (blocks, Dy, Dx, tol);');
%   or use tilevista_pursuit, which prints nothing unless asked ("verbose"
%   shows this text with the line ended; "progress", true shows a long
%   call's progress).
%
%   Errors. A rejected call ends with one of the messages below (the host
%   shows it after "TILEVISTA_Mex: "), some after a line on the console;
%   each has its own identifier (ERR.identifier). The checks run in this
%   order. Cause, then cure:
%
%   TILEVISTA:inputCount
%     "Wrong number of input arguments"
%     Fewer than 3 or more than 5 inputs.
%   TILEVISTA:dictionaryYType
%     "Input must be double, real, full,and nonstring"
%     DY is single, an integer class, logical, sparse, complex or text: pass
%     double (DY), full (DY), real values. The identifier names the input
%     the message does not:
%   TILEVISTA:dictionaryXType
%     "Input must be double, real, full,and nonstring"
%     The same of DX.
%   TILEVISTA:tolType
%     "Input must be double, real, full,and nonstring"
%     The same of TOL: a double scalar, or [] for the default.
%   TILEVISTA:maxAtomsType
%     "Input must be double, real, full,and nonstring"
%     The same of MAXATOMS: a double scalar, or [] for the default.
%   TILEVISTA:emptyBlocks
%     "The image matrix is empty!!"
%     BLOCKS is {} or [].
%   TILEVISTA:notACell
%     "Must Enter a Cell Block"
%     BLOCKS is a matrix (the image itself?), not a cell array of blocks:
%     cut it with [blocks, info] = tilevista_blocks (img, 8).
%   TILEVISTA:block
%     "Block %d must be a real, full double matrix of %d x %d; it is ..."
%     That block (1-based, in BLOCKS(:) order) has another size than the
%     others: checked here, before the dictionaries are held to the block
%     size. Blocks of one size that are of another class (uint8 blocks are
%     rejected: "it is of class uint8"), complex, sparse, text or cells are
%     named after the TILEVISTA:tooLarge checks. Cut the image with
%     tilevista_blocks, which gives double blocks of one size.
%   TILEVISTA:dictionaryRows
%     "Error!!"
%     after the console line "The atoms in the dictionary dictionary Y are of length %i and should be of length %i"
%     after the console line "The atoms in the dictionary dictionary X are of length %i and should be of length %i"
%     DY must have as many rows as the blocks, DX as many as their
%     columns (a dictionary of n-row atoms for n x n blocks), and neither
%     may be empty.
%   TILEVISTA:atomCount
%     "One dictionary should have more than 1 atom and the other should have at least one!!"
%     after the console line "Dictionary Y has %i atoms and dictionary X has %i atoms"
%     Ky + Kx is below 3: give one dictionary at least 2 atoms.
%   TILEVISTA:tolShape
%     "The tolerance should be a scalar"
%     TOL is neither a scalar nor [].
%   TILEVISTA:maxAtomsShape
%     "The maximum number of atoms should be a scalar"
%     MAXATOMS is neither a scalar nor [].
%   TILEVISTA:outputCount
%     "Wrong number of output arguments!"
%     Fewer than seven outputs: request all seven outputs, or use
%     tilevista_pursuit.
%   TILEVISTA:tooLarge
%     "The blocks are too large: %d x %d = %d pixels per block, at most %d"
%     "The dictionaries are too large: %d x %d atom pairs, at most %d"
%     "Too many blocks: %d blocks of capacity %d atoms exceed %d atoms in all"
%     "The blocks are too large for their dictionaries: %d pixels x %d atoms per block exceed %d values"
%     The sizes do not fit the module's 32-bit counts: smaller blocks,
%     smaller dictionaries, or the image in several calls.
%   TILEVISTA:threads
%     "TILEVISTA_THREADS is '%s': it must be a whole number of threads from 1 to ..."
%     The environment variable is not 0 to 1024: tilevista_threads (n), or
%     setenv ('TILEVISTA_THREADS', '').
%   TILEVISTA:scoring
%     "TILEVISTA_SCORING is '%s': it must be ..., or unset for the best the processor has"
%     The environment variable that chooses how blocks are scored (for
%     comparisons between kernel sets) holds something else than a route
%     the message lists: unset it, setenv ('TILEVISTA_SCORING', '').
%   TILEVISTA:basis
%     "TILEVISTA_BASIS is '%s': it must be ..., or unset for the best the processor has"
%     The environment variable that chooses how blocks grow their
%     orthonormal and dual vectors (for comparisons between routes) holds
%     something else than a route the message lists: unset it,
%     setenv ('TILEVISTA_BASIS', '').
%   TILEVISTA:outOfMemory
%     "Not enough memory for this call: ..."
%     The call needs more memory than the system can give (the message
%     names the amounts, see Memory below): fewer or smaller blocks per
%     call, smaller dictionaries, a larger tol or a MAXATOMS budget.
%   TILEVISTA:maxAtoms
%     "Error TILEVISTA exited early see message above!!"
%     after the console line "The minimum number of atoms %i must be greater than 0 and less than %i!"
%     MAXATOMS is negative or above the capacity of all blocks: 0 means
%     the capacity.
%   TILEVISTA:tol
%     "Error TILEVISTA exited early see message above!!"
%     after the console line "Tol is %g is should be positive!"
%     TOL is negative: 0 never stops the pursuit on tol.
%   TILEVISTA:interrupted
%     "TILEVISTA_Mex: interrupted by the user"
%     Ctrl-C during the call, under MATLAB (and Python); Octave returns to
%     the prompt without a message, as its own functions do.
%
%   Memory. Beyond its inputs a call needs, in doubles of 8 bytes, with
%   N = rows*cols, Q blocks, T threads and cap = min(Ky*Kx, N): 2*Q*N for
%   the module's own copies of the blocks and their residuals and Q*N for
%   the approximations; on each thread Ky*Kx + min(Ky*cols, rows*Kx) + N to
%   score a block and build an atom, and N*m + m while it writes out a
%   block of m atoms; for a block of m atoms 2*N*m for its orthonormal and
%   dual vectors in the outputs and, until those are filled, its
%   orthonormal vectors in working storage that grows by half when full (at
%   most 1.5*N*m, never beyond N*cap). So about 3*Q*N + 2*N*(atoms in all)
%   at the end of a call. The fixed part is checked against the memory
%   available before the pursuit (on fewer threads when only fewer score
%   tables fit); a call that cannot get what it needs ends with "Not enough
%   memory for this call: ...", naming these amounts.
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
%   Or, from the project tree (tilevista_build is not in the package):
%   build the module with tilevista_build; it goes to build/octave (Octave)
%   or build/matlab (MATLAB) together with a copy of this help file. Put
%   that folder on the path before the toolbox folder octave/, e.g.
%     addpath('octave'); addpath('build/octave');   % the last added is first
%
%   See also TILEVISTA_PURSUIT, TILEVISTA_BLOCKS, TILEVISTA_ASSEMBLE, TILEVISTA_COSINE_DICTIONARY,
%   TILEVISTA_COMBINE_DICTIONARIES, TILEVISTA_TOL_FOR_PSNR, TILEVISTA_PSNR,
%   TILEVISTA_SPARSITY_RATIO, TILEVISTA_THREADS, TILEVISTA_DEMO.

% This file documents the compiled module. The host runs the module instead
% of this function whenever the module sits in the same folder or in a folder
% earlier on the path; reaching the code below means it was not found.
  error ('TILEVISTA_Mex: the compiled module was not found; build it with tilevista_build and put its folder (build/octave or build/matlab) on the path before this one, or in Octave install and load the package: pkg install tilevista-<version>.tar.gz (made by make package), then pkg load tilevista');
end
