function freed = tilevista_release_memory()
%TILEVISTA_RELEASE_MEMORY  Give back the memory the module keeps for its next call.
%   TILEVISTA_RELEASE_MEMORY ()
%   FREED = TILEVISTA_RELEASE_MEMORY ()
%
%   A call of TILEVISTA_Mex or tilevista_pursuit takes its working storage
%   (the blocks' copies and residuals, their orthonormal vectors) from
%   memory the module keeps when the call ends, so that the next call of
%   about the same size writes into memory the process already has instead
%   of asking the system for it page by page. The module keeps at most its
%   last call's working storage, and gives back what it kept by itself when
%   a call does not reuse it (a much smaller call, or other sizes). This
%   gives all of it back to the system now, for instance before other work
%   that needs the memory. The outputs of earlier calls are Octave's own
%   arrays and keep their values.
%
%   FREED is the number of bytes the module had kept (0 when it kept
%   nothing).
%
%   tilevista_release_memory lives in the module's function file
%   TILEVISTA_Mex.oct (Octave only). The MEX file (MATLAB, or Octave with
%   build/octave-mex on the path) has no such function: this file then does
%   nothing, says so in a warning (TILEVISTA:releaseMemory) and returns 0;
%   the MEX file keeps memory by the same rule and gives it back by itself
%   after a much smaller call.
%
%   Example:
%     for k = 1:numel (images), s{k} = tilevista_pursuit (blocks{k}, D, D, tol); end
%     tilevista_release_memory ();   % the loop's memory back to the system
%
%   See also TILEVISTA_MEX, TILEVISTA_PURSUIT.

% This file documents the function of the compiled module. Reaching the code
% below means the function file was not found.
  warning ('TILEVISTA:releaseMemory', ...
           ['tilevista_release_memory: the function file TILEVISTA_Mex.oct is not on the ' ...
            'path, and the MEX file cannot be asked to give its memory back; nothing was ' ...
            'done (it gives back by itself what a much smaller call does not reuse)']);
  freed = 0;
end

%!function kb = resident_kb ()
%!  kb = str2double (regexp (fileread ('/proc/self/status'), 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
%!endfunction

%!test
%! % A call keeps its working storage for the next one; the release gives it
%! % back to the system (the resident set falls by most of it), a second
%! % release finds nothing, and the next call gives the same outputs, bit for
%! % bit, as the calls before it.
%! randn ('seed', 7);
%! blocks = cell (32, 32);
%! for i = 1:numel (blocks), blocks{i} = randn (8, 8); end
%! D = randn (8, 16);
%! out = cell (1, 7);
%! evalc ('[out{:}] = TILEVISTA_Mex (blocks, D, D, 1e-2);');
%! again = cell (1, 7);
%! evalc ('[again{:}] = TILEVISTA_Mex (blocks, D, D, 1e-2);');
%! assert (isequal (out, again));
%! before = resident_kb ();
%! freed = tilevista_release_memory ();
%! % The blocks' orthonormal vectors alone: N doubles per atom.
%! assert (freed >= 8 * 64 * out{7});
%! assert (before - resident_kb () >= 0.5 * freed / 1024);
%! assert (tilevista_release_memory (), 0);
%! evalc ('[again{:}] = TILEVISTA_Mex (blocks, D, D, 1e-2);');
%! assert (isequal (out, again));
%! tilevista_release_memory ();

%!error <takes no arguments> tilevista_release_memory (1)
