function count = tilevista_threads(n)
%TILEVISTA_THREADS  Number of threads a call of TILEVISTA_Mex works with.
%   COUNT = TILEVISTA_THREADS() returns the number of threads in force.
%
%   COUNT = TILEVISTA_THREADS(N) sets it for the calls that follow and
%   returns the count now in force: N = 1 to 1024 threads, or N = 0 for the
%   default, every processor this process may use.
%
%   The module reads the environment variable TILEVISTA_THREADS at every
%   call, so a change applies to the next call, also when made with
%   setenv or in the shell before starting Octave or MATLAB:
%     unset, empty or 0   every processor the process may use (the
%                         processors of its affinity mask; in Octave,
%                         nproc())
%     1 to 1024           that many threads; 1 runs the call on the
%                         calling thread alone and creates no thread
%   Any other value makes every call fail with a message that says so.
%   A call never uses more threads than it has blocks, and its outputs are
%   the same for every thread count. This function sets the variable.
%
%   Several processes at once (parfor workers, parallel jobs, a cluster
%   scheduler running one job per core): set 1 in each worker, e.g.
%     parfor k = 1:n, tilevista_threads(1); ... TILEVISTA_Mex(...) ..., end
%   so that the workers do not compete for the same processors.
%
%   Example:
%     tilevista_threads(2);        % the next calls use 2 threads
%     tilevista_threads(0);        % back to every processor
%
%   See also TILEVISTA_MEX.

  name = 'TILEVISTA_THREADS';
  if nargin > 0
    if ~isnumeric (n) || ~isreal (n) || ~isscalar (n) || ~isfinite (n) ...
        || n ~= fix (n) || n < 0 || n > 1024
      error ('tilevista_threads: N must be a whole number from 0 (every processor) to 1024');
    end
    if n == 0
      setenv (name, '');
    else
      setenv (name, sprintf ('%d', n));
    end
  end

  value = getenv (name);
  if isempty (value) || strcmp (value, '0')
    count = processorCount ();
  elseif ~isempty (regexp (value, '^[0-9]+$', 'once')) && str2double (value) <= 1024
    count = str2double (value);
  else
    error ('tilevista_threads: the environment variable %s is ''%s''; it must be empty, 0 or a whole number from 1 to 1024', ...
           name, value);
  end
end

function count = processorCount ()
  % The processors this process may run on.
  if exist ('OCTAVE_VERSION', 'builtin') ~= 0
    count = nproc ();
  else
    % MATLAB (untested here): the Java runtime honours the affinity mask.
    try
      count = double (java.lang.Runtime.getRuntime ().availableProcessors ());
    catch
      count = maxNumCompThreads ();
    end
  end
end

%!function message = errorOf (f)
%!  message = '';
%!  try
%!    f ();
%!  catch err
%!    message = err.message;
%!  end_try_catch
%!endfunction

%!test
%! % Setting, reading back, the default, and values the module refuses.
%! saved = getenv ('TILEVISTA_THREADS');
%! unwind_protect
%!   assert (tilevista_threads (3), 3);
%!   assert (getenv ('TILEVISTA_THREADS'), '3');
%!   assert (tilevista_threads (), 3);
%!   assert (tilevista_threads (1024), 1024);
%!   assert (tilevista_threads (0), nproc ());
%!   assert (getenv ('TILEVISTA_THREADS'), '');
%!   setenv ('TILEVISTA_THREADS', '0');
%!   assert (tilevista_threads (), nproc ());
%!   for bad = {'-2', '1025', '2.5', ' 4', 'many'}
%!     setenv ('TILEVISTA_THREADS', bad{1});
%!     assert (errorOf (@() tilevista_threads ()), ...
%!             sprintf ('tilevista_threads: the environment variable TILEVISTA_THREADS is ''%s''; it must be empty, 0 or a whole number from 1 to 1024', bad{1}));
%!   end
%!   % A refused N leaves the variable as it was.
%!   tilevista_threads (5);
%!   for bad = {-1, 1.5, 1025, NaN, Inf, [1 2], '4', 2i, true}
%!     assert (errorOf (@() tilevista_threads (bad{1})), ...
%!             'tilevista_threads: N must be a whole number from 0 (every processor) to 1024');
%!   end
%!   assert (getenv ('TILEVISTA_THREADS'), '5');
%! unwind_protect_cleanup
%!   setenv ('TILEVISTA_THREADS', saved);
%! end_unwind_protect
