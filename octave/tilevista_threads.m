function count = tilevista_threads(n, varargin)
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
%     unset, blank or 0   every processor the process may use (the
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
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  more than 1 input.
%     TILEVISTA:threadCount    N is not a whole number from 0 to 1024: the
%                              variable is left as it was.
%     TILEVISTA:threads        the variable TILEVISTA_THREADS holds something
%                              the module refuses too (the module's own
%                              identifier for it): tilevista_threads (0), or
%                              setenv ('TILEVISTA_THREADS', '').
%
%   See also TILEVISTA_MEX.

  argument_count ('tilevista_threads', nargin, 0, 1);
  name = 'TILEVISTA_THREADS';
  if nargin > 0
    if ~isnumeric (n) || ~isreal (n) || ~isscalar (n) || ~isfinite (n) ...
        || n ~= fix (n) || n < 0 || n > 1024
      error ('TILEVISTA:threadCount', ...
             'tilevista_threads: N must be a whole number from 0 (every processor) to 1024');
    end
    if n == 0
      setenv (name, '');
    else
      setenv (name, sprintf ('%d', n));
    end
  end

  % Whether the variable holds a thread count is the module's rule alone: it
  % reads the variable at every call, and a call of one 1 x 1 block says.
  try
    evalc ('[probe{1:7}] = TILEVISTA_Mex ({0}, 1, [1 1]);');
  catch err
    % The module's identifier, raised again with this function's name.
    identifier = err.identifier;
    if strcmp (identifier, 'TILEVISTA:threads')
      error (identifier, 'tilevista_threads: %s', ...
             regexprep (err.message, '^TILEVISTA_Mex: ', ''));
    end
    rethrow (err);
  end
  value = getenv (name);
  count = 0;
  if ~isempty (value)
    count = abs (str2double (value));   % what the module took: a whole number, -0 is 0
  end
  if count == 0
    count = processorCount ();
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

%!function text = ifelse_text (condition, yes, no)
%!  text = no;
%!  if condition, text = yes; end
%!endfunction

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
%!   for bad = {'-2', '1025', '2.5', '4x', 'many', '+'}
%!     setenv ('TILEVISTA_THREADS', bad{1});
%!     assert (errorOf (@() tilevista_threads ()), ...
%!             sprintf ('tilevista_threads: TILEVISTA_THREADS is ''%s'': it must be a whole number of threads from 1 to 1024, or 0 or unset for every processor', bad{1}));
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

%!test
%! % The module reads the variable the same way: it runs a call exactly when
%! % this function accepts the value.
%! saved = getenv ('TILEVISTA_THREADS');
%! unwind_protect
%!   for value = {'3', ' 4', '+2 ', '-0', '007', '1024', '0', '', '4x', '2.5', '-2', '1025', ' ', '+', "\t7\n"}
%!     setenv ('TILEVISTA_THREADS', value{1});
%!     accepted = isempty (errorOf (@() tilevista_threads ()));
%!     o = cell (1, 7);
%!     ran = true;
%!     try
%!       evalc ('[o{1:7}] = TILEVISTA_Mex ({[3;4], [0;1]}, eye (2), 1);');
%!       assert (o{7}, 2);
%!     catch err
%!       assert (err.identifier, 'TILEVISTA:threads');
%!       ran = false;
%!     end
%!     assert (ran == accepted, sprintf ('TILEVISTA_THREADS=''%s'': the module %s it', value{1}, ...
%!                                       ifelse_text (ran, 'runs with', 'refuses')));
%!   end
%! unwind_protect_cleanup
%!   setenv ('TILEVISTA_THREADS', saved);
%! end_unwind_protect
